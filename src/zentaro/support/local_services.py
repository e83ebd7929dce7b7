"""Every local service the kit talks to, started and stopped together.

The platform server (TLS with a locally generated certificate authority), the
simulated brokerage, the futures gateway simulator (TLS, same authority) and its broker directory,
all on 127.0.0.1; ``env`` is the environment that points the kit at them.
That environment also gives the kit a home of its own (``ZENTARO_ROOT`` for the
token and notice files, ``ZENTARO_INFO`` for the SQL cache): the sample login
must never replace a user's real one, and sample query results must never be
served later as cache hits against a real deployment.
"""

import contextlib
import os
import shlex
import shutil
import tempfile

DEMO_LOGIN = ("demo", "demo-pass")
FUTURES_BROKER = "青岚期货"


class LocalServices:
    """``with LocalServices() as services:``; ``services.env`` points a process at them.

    `home`: the folder to keep the kit's files in (created if missing, left in
    place on stop); by default a folder inside the services' scratch folder,
    removed with it.
    """

    def __init__(self, home=None):
        self.platform = self.brokerage = self.gateway = self.directory = None
        self.env = {}
        self.home = None
        self._kept_home = None if home is None else os.path.abspath(home)
        # Read before the platform server changes the process's environment.
        self._no_proxy = os.environ.get("NO_PROXY") or os.environ.get("no_proxy")
        self._ca_before = os.environ.get("REQUESTS_CA_BUNDLE")
        self._stack = contextlib.ExitStack()
        self._folder = None

    def start(self):
        try:
            self._start()
        except BaseException:
            self.stop()
            raise
        return self

    def _start(self):
        from zentaro.support.brokerage import BrokerageServer
        from zentaro.support.gateway_sim import serve_all
        from zentaro.support.platform_server import PlatformServer

        self._folder = tempfile.mkdtemp(prefix="zentaro-local-")
        self._stack.callback(shutil.rmtree, self._folder, ignore_errors=True)
        self.home = self._kept_home or os.path.join(self._folder, "home")
        os.makedirs(self.home, mode=0o700, exist_ok=True)
        self.platform = self._stack.enter_context(PlatformServer(tls=True))
        self.brokerage = self._stack.enter_context(BrokerageServer())
        # The gateway's certificate comes from the platform server's authority,
        # which the exported CA bundle already holds.
        self.gateway, self.directory = serve_all(ca=self.platform.ca)
        self._stack.callback(self.gateway.stop)
        self._stack.callback(self.directory.stop)
        self.env = self._environment()

    def _environment(self):
        hosts = (self._no_proxy or "").split(",") + [self.platform.host]
        no_proxy = ",".join(dict.fromkeys(h.strip() for h in hosts if h.strip()))
        env = {
            "ZENTARO_ROOT": self.home,
            "ZENTARO_INFO": os.path.join(self.home, "info"),
            "ZENTARO_URL": self.platform.url,
            "REQUESTS_CA_BUNDLE": self._ca_bundle(),
            **self.directory.client_env(),
            **self.brokerage.client_env(),
        }
        env["NO_PROXY"] = env["no_proxy"] = no_proxy
        return env

    def _ca_bundle(self):
        # The public roots (and a bundle the shell already trusted) stay in:
        # other HTTPS from the same shell keeps working.
        import certifi

        sources = [certifi.where(), self.platform.ca_file]
        if self._ca_before and os.path.isfile(self._ca_before):
            sources.insert(1, self._ca_before)
        path = os.path.join(self._folder, "ca-bundle.pem")
        with open(path, "w") as out:
            for source in dict.fromkeys(sources):
                with open(source) as f:
                    out.write(f.read().rstrip("\n") + "\n")
        return path

    def stop(self):
        self._stack.close()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
        return False

    def export_lines(self):
        return [f"export {key}={shlex.quote(value)}" for key, value in self.env.items()]

    def describe(self):
        user, password = DEMO_LOGIN
        accounts = self.gateway.accounts
        futures = next(iter(accounts))
        return [
            f"# platform server   {self.platform.url}  login: kl_api.login({user!r}, {password!r})",
            f"# brokerage         {self.brokerage.url}  sample account TradeAPI('80001234')",
            f"# gateway           {self.gateway.host}:{self.gateway.port}  "
            f"futures account {futures!r} password {accounts[futures]['password']!r} "
            f"at broker {FUTURES_BROKER!r}",
            f"# broker directory  {self.directory.url}",
        ]
