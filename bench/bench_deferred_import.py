"""Forwarding cost of DeferredImport against the module itself and lazy-object-proxy.

Run: python bench/bench_deferred_import.py
Target: a forwarded read and a forwarded call at most 2.5x the module itself,
and faster than lazy_object_proxy's C proxy doing the same job.
"""

import importlib
import sys
import types

from lazy_object_proxy.cext import Proxy

from _timing import compare, table
from zentaro.mod.kelvo.utils.deferred_import import DeferredImport

target = types.ModuleType("bench_target")
target.value = 1
target.func = lambda x: x
sys.modules["bench_target"] = target


def read_loop(obj):
    def run(n):
        for _ in range(n):
            obj.value

    return run


def call_loop(obj):
    def run(n):
        for _ in range(n):
            obj.func(1)

    return run


def main():
    deferred = DeferredImport("bench_target")
    lazy = Proxy(lambda: importlib.import_module("bench_target"))
    deferred.module, lazy.__wrapped__  # resolve both before timing

    reads = compare(
        {
            "module.value (floor)": read_loop(target),
            "DeferredImport.value": read_loop(deferred),
            "lazy_object_proxy.value": read_loop(lazy),
        }
    )
    table("forwarded attribute read", reads, "module.value (floor)")
    calls = compare(
        {
            "module.func(1) (floor)": call_loop(target),
            "DeferredImport.func(1)": call_loop(deferred),
            "lazy_object_proxy.func(1)": call_loop(lazy),
        }
    )
    table("forwarded call", calls, "module.func(1) (floor)")

    func_proxy = DeferredImport("bench_target.func")
    direct = compare(
        {
            "func(1) (floor)": lambda n: [target.func(1) for _ in range(n)],
            "DeferredImport('..func')(1)": lambda n: [func_proxy(1) for _ in range(n)],
        }
    )
    table("calling a proxy of a function", direct, "func(1) (floor)")


if __name__ == "__main__":
    main()
