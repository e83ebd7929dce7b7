"""Local stand-ins for the platform's services: the embedded platform server,
the simulated brokerage account, the futures gateway simulator and the sample
market data. Tests and the demo start them on 127.0.0.1.
"""

# The client authorisation code that the platform hands out (encrypted) for
# futures logins and that the local gateway simulator expects back.
GATEWAY_AUTH_CODE = "zentaro-gateway-2026"
