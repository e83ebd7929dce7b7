"""The user API functions strategies can call."""

apis = {}


def register_api(name, obj):
    apis[name] = obj
    return obj
