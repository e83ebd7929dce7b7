"""A tour of the whole kit against real local services.

    python -m zentaro.support.demo [--out DIR] [--no-chart]

Starts the local services (what zentaro-local runs: the platform server over
TLS with verification on, the simulated brokerage, the futures gateway and its
broker directory), back-tests a sample strategy with the result stream on,
opens the run's persisted state as a paper account, queries the brokerage
account and sees an order pushed, logs a futures account in at the gateway,
builds research queries, caches a SQL result and defers a heavy import. Exits
non-zero if any step fails.
"""

import argparse
import contextlib
import os
import shutil
import signal
import subprocess
import sys
import threading
import time
import traceback

from zentaro.support.text_table import format_table

STRATEGY_SYMBOLS = ("600519.SH", "000001.SZ", "600000.SH")


def say(text=""):
    print(text, flush=True)


def table(rows, headers):
    for line in format_table(rows, headers):
        say(line)


class Tour:
    def __init__(self, out_dir, chart):
        self.out_dir = os.path.abspath(out_dir)
        self.chart = chart
        self.cleanups = contextlib.ExitStack()
        self.state_dir = None
        self.backtest = None

    # ---------------------------------------------------------------- steps

    def platform(self):
        from zentaro.mod.kelvo.utils.platform_rpc import APIClient, kl_api

        srv = self.server

        say(f"  platform server on {srv.url} (TLS, a locally generated CA)")
        say(f"  APIClient.base_url = {APIClient.base_url}")
        kl_api.login("demo", srv.users["demo"]["password"])
        say("  kl_api.login('demo', ...) -> token stored (owner-only file)")
        instruments = kl_api.instruments()
        dates = kl_api.trading_dates(start_date="2024-01-01", end_date="2024-01-31")
        frame = kl_api.get_fundamentals(rows=2000)
        say(
            f"  instruments(): {len(instruments)} instruments, first {instruments[0]['order_book_id']}"
        )
        say(f"  trading_dates(2024-01): {len(dates)} days, {dates[0]} .. {dates[-1]}")
        say(f"  get_fundamentals(rows=2000): a {type(frame).__name__} of shape {frame.shape}")
        refreshes = [a for a, _ in srv.login_requests if a == "refresh"]
        say(f"  token refreshes for {len(srv.calls)} service calls: {len(refreshes)}")
        if len(refreshes) != 1:
            raise AssertionError("the token should be refreshed once for several calls")

    def backtest_run(self):
        import corvane
        import corvane.utils.logger as engine_log
        from corvane.api import order_shares, record
        from corvane.utils.disk_persist_provider import DiskPersistProvider

        self.state_dir = os.path.join(self.out_dir, "paper_state")
        shutil.rmtree(self.state_dir, ignore_errors=True)
        progress = ProgressBar()
        days = []

        def rebalance(context, bars):
            days.append(context.now.date())
            if context.now.day in (3, 4, 5) and context.now.month == 1:
                order_shares(STRATEGY_SYMBOLS[0], 100)
                order_shares(STRATEGY_SYMBOLS[1], 4000)
            if context.now.day == 1 and context.now.month in (4, 7, 10):
                order_shares(STRATEGY_SYMBOLS[2], 5000)
            if context.now.day == 15 and context.now.month == 11:
                order_shares(STRATEGY_SYMBOLS[1], -4000)
            record(month=context.now.month)

        config = {
            "base": {
                "start_date": "2023-01-03",
                "end_date": "2023-12-29",
                "capital_base": 1_000_000,
            },
            "mod": {
                "kelvo": {
                    "enabled": True,
                    "enable_stream_sink": True,
                    "persist_provider": DiskPersistProvider(self.state_dir),
                }
            },
        }
        saved = engine_log.user_normal_log
        engine_log.user_normal_log = progress
        try:
            result = corvane.run(config, {"handle_bar": rebalance})
        finally:
            engine_log.user_normal_log = saved
        progress.finish()
        self.backtest = result
        capital = config["base"]["capital_base"]
        say(f"  {result['trading_days']} trading days, {progress.records} records from the stream")
        table(
            [
                [
                    f"{result['total_value']:,.2f}",
                    f"{result['total_value'] / capital - 1:+.2%}",
                    progress.trades,
                    f"{result['cash']:,.2f}",
                ]
            ],
            ["final value", "return", "trades", "cash"],
        )
        positions = progress.last_positions
        table([[s, q] for s, q in positions] or [["-", 0]], ["position", "quantity"])
        if not progress.values or progress.last_progress != 1.0:
            raise AssertionError("the stream should report progress up to 1.0")
        if self.chart:
            path = os.path.join(self.out_dir, "portfolio_value.png")
            write_chart(days, progress.values, path)
            say(f"  chart of the portfolio value: {path}")

    def paper_book(self):
        from zentaro.mod.kelvo.modules.zrcelery_utils.paper_book import PaperBook

        book = PaperBook("CN", "1d", "demo-paper", 1_000_000, self.state_dir)
        say(f"  PaperBook over {self.state_dir}")
        table(
            [
                [
                    f"{book.total_asset_value:,.2f}",
                    f"{book.ending_cash:,.2f}",
                    f"{book.market_value:,.2f}",
                    f"{book.profit_and_loss:,.2f}",
                ]
            ],
            ["total_asset_value", "ending_cash", "market_value", "profit_and_loss"],
        )
        table(
            [[p.get("symbol"), p.get("quantity"), p.get("position_date")] for p in book.positions],
            ["symbol", "quantity", "position_date"],
        )
        if abs(book.total_asset_value - self.backtest["total_value"]) > 1e-6:
            raise AssertionError("the paper view should show the back-test's portfolio")
        del book

    def brokerage(self):
        from zentaro.mod.tradeapi.api.broker_desk import TradeAPI
        from zentaro.support.broker_demo import account_lines
        from zentaro.support.broker_sim import SAMPLE_ACCOUNT_ID
        from zentaro.support.brokerage import place_order

        api = TradeAPI(SAMPLE_ACCOUNT_ID)
        for line in account_lines(api):
            say("  " + line)
        say(f"  get_orders(): {len(api.get_orders())} order instructions")
        pushed = threading.Event()
        received = []

        def on_order(order):
            received.append((threading.current_thread().name, order))
            if order.status == "已成":
                pushed.set()

        api.register_push(on_order)
        place_order("600519.SH", "BUY", 100, 1650.0)
        if not pushed.wait(5):
            raise AssertionError("no order push arrived")
        for thread, order in received:
            say(
                f"  pushed on thread {thread!r}: {order.symbol} {order.side} {order.amount} "
                f"@ {order.price:.2f} {order.status}"
            )

    def gateway(self):
        from zentaro.mod.tradeapi.sdk.gateway_link import GatewayClient
        from zentaro.support.gateway_sim import DEFAULT_ACCOUNTS

        account = "880001"
        client = GatewayClient("青岚", account, DEFAULT_ACCOUNTS[account]["password"])
        session = client.connect()
        self.cleanups.callback(client.close)
        say(
            f"  logged in at {client.site['ip']}:{client.site['port']} for broker "
            f"{client.qsinfo['qsname']}: investor key {client._investor_key}, channel key "
            f"{client._channel_key}, service type {client._service_type}"
        )
        meta, data = client.call_rpc("query_position", {"instrument": "rb2405"})
        result = client.make_return(meta, data)
        say(f"  call_rpc('query_position') -> success={result['success']} data={result['result']}")
        if not result["success"] or session is None:
            raise AssertionError("the gateway call should succeed")

    def research(self):
        from zentaro.mod.kelvo.data.side_store import SideStore
        from zentaro.mod.kelvo.research.normal_query.query_text import StrQuery, valuation

        query = (
            StrQuery(valuation.symbol, valuation.pe_ratio, valuation.market_cap)
            .filter(
                valuation.pe_ratio < 30,
                valuation.market_cap > 1e10,
                valuation.symbol.in_(["600519.SH", "000001.SZ"]),
            )
            .limit(20)
        )
        say(f"  query text: {query}")
        sql = "select code, close from daily_bars where trade_date >= '2023-01-01' limit 50000"
        with SideStore() as store:
            for attempt in ("miss", "hit"):
                started = time.perf_counter()
                frame = store.read(sql)
                took = (time.perf_counter() - started) * 1000
                say(f"  SideStore.read ({attempt}): {frame.shape[0]} rows in {took:.1f} ms")
        calls = self.server.count("api/sdk_side_store")
        say(f"  server calls for the two reads: {calls}")
        if calls != 1:
            raise AssertionError("the second read should come from the cache")

    def deferred(self):
        code = (
            "import sys, time\n"
            "from zentaro.mod.kelvo.utils.deferred_import import DeferredImport\n"
            "pd = DeferredImport('pandas')\n"
            "print('  created proxy; pandas imported:', 'pandas' in sys.modules)\n"
            "t = time.perf_counter(); frame = pd.DataFrame({'a': [1, 2]})\n"
            "print(f'  first use pd.DataFrame(...) imported pandas in {time.perf_counter() - t:.2f} s:',"
            " 'pandas' in sys.modules)\n"
            "t = time.perf_counter(); pd.Series([1])\n"
            "print(f'  second use took {(time.perf_counter() - t) * 1e3:.2f} ms (cached)')\n"
        )
        run = subprocess.run(
            [sys.executable, "-c", code], capture_output=True, text=True, timeout=60
        )
        sys.stdout.write(run.stdout)
        if run.returncode:
            raise RuntimeError(run.stderr)

    # ----------------------------------------------------------------- runner

    STEPS = [
        ("platform client: login, services, token refresh", "platform"),
        ("back-test with KelvoMod and the result stream", "backtest_run"),
        ("paper account view of the back-test's state", "paper_book"),
        ("brokerage account: queries and an order push", "brokerage"),
        ("futures gateway login and one RPC call", "gateway"),
        ("research queries and the SQL result cache", "research"),
        ("deferred import of a heavy module", "deferred"),
    ]

    def start_services(self):
        from zentaro.support.local_services import LocalServices

        services = self.cleanups.enter_context(LocalServices())
        env = dict(services.env)
        if "ZENTARO_ROOT" in os.environ:  # the caller chose the kit's home: keep it
            env.pop("ZENTARO_ROOT")
            env.pop("ZENTARO_INFO")
        os.environ.update(env)
        self.server = services.platform
        say("local services on 127.0.0.1: platform server (TLS), simulated brokerage,")
        say("futures gateway and broker directory (what `zentaro-local` runs)")

    def run(self):
        failures = 0
        started = time.perf_counter()
        with self.cleanups:
            self.start_services()
            for number, (title, name) in enumerate(self.STEPS, 1):
                say(f"\n[{number}/{len(self.STEPS)}] {title}")
                step_started = time.perf_counter()
                try:
                    getattr(self, name)()
                except Exception:
                    failures += 1
                    say("  FAILED:")
                    say("  " + traceback.format_exc().replace("\n", "\n  "))
                else:
                    say(f"  ok ({time.perf_counter() - step_started:.2f} s)")
        total = time.perf_counter() - started
        say(f"\n{len(self.STEPS) - failures} of {len(self.STEPS)} steps ok in {total:.1f} s")
        return 1 if failures else 0


class ProgressBar:
    """Receives the back-test's lines and records: draws progress, keeps figures."""

    def __init__(self, width=40):
        self.width = width
        self.records = 0
        self.trades = 0
        self.values = []
        self.last_progress = 0.0
        self.last_positions = []
        self._drawn = -1

    def info(self, message, **kwargs):
        if not isinstance(message, dict):
            return
        self.records += 1
        if "tradelogs" in message:
            self.trades += len(message.get("tradelogs") or [])
            self.last_positions = _positions_of(message.get("positions"))
        if "progress" in message:
            self.last_progress = message["progress"]
            if "tradelogs" not in message and "portfolio_value" in message:
                self.values.append(message["portfolio_value"])  # one summary per day
            self._draw(message["progress"])

    warn = error = info

    def _draw(self, progress):
        # Redraw in place on a terminal; elsewhere (logs, CI) a line per quarter.
        step = self.width if sys.stdout.isatty() else 4
        filled = int(progress * step)
        if filled == self._drawn:
            return
        self._drawn = filled
        cells = int(progress * self.width)
        bar = "#" * cells + "." * (self.width - cells)
        end = "" if sys.stdout.isatty() else "\n"
        sys.stdout.write(f"\r  [{bar}] {progress:6.1%}{end}")
        sys.stdout.flush()

    def finish(self):
        if sys.stdout.isatty():
            sys.stdout.write("\n")


def _positions_of(positions):
    rows = []
    for symbol, records in (positions or {}).items():
        for record in records if isinstance(records, list) else [records]:
            quantity = record.get("quantity", record.get("amount"))
            if quantity:
                rows.append((symbol, quantity))
    return rows


def write_chart(days, values, path):
    """Portfolio value over the dates of the run, and its drawdown below it."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.dates as mdates
    import matplotlib.pyplot as plt
    import numpy as np
    from matplotlib.ticker import FuncFormatter, PercentFormatter

    # One summary per trading day; if the counts ever differ, the last days pair up.
    count = min(len(days), len(values))
    days, values = days[-count:], np.asarray(values[-count:], dtype=float)
    drawdown = values / np.maximum.accumulate(values) - 1
    fig, (top, bottom) = plt.subplots(
        2, 1, figsize=(9, 5), sharex=True, gridspec_kw={"height_ratios": [3, 1]}
    )
    top.plot(days, values, color="#1f5fa8", linewidth=1.4)
    top.set_title("Portfolio value of the sample back-test")
    top.set_ylabel("portfolio value (CNY)")
    top.yaxis.set_major_formatter(FuncFormatter(lambda v, _: f"¥{v:,.0f}"))
    top.grid(alpha=0.3)
    bottom.fill_between(days, drawdown, 0, color="#c0392b", alpha=0.35, linewidth=0)
    bottom.plot(days, drawdown, color="#c0392b", linewidth=0.8)
    bottom.set_ylabel("drawdown")
    bottom.yaxis.set_major_formatter(PercentFormatter(1.0, decimals=0))
    bottom.grid(alpha=0.3)
    bottom.xaxis.set_major_locator(mdates.MonthLocator())
    bottom.xaxis.set_major_formatter(mdates.DateFormatter("%b %Y"))
    fig.autofmt_xdate()
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)


def _prog():
    # The console command calls itself by its name, `python -m` by the module's.
    command = os.path.basename(sys.argv[0])
    return command if command == "zentaro-demo" else "python -m zentaro.support.demo"


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog=_prog(),
        description="A tour of the whole kit against real local services: the platform "
        "client, a back-test with the result stream, the paper account, a brokerage "
        "account and its order push, a futures gateway login, research queries, the SQL "
        "result cache and a deferred import. Exits non-zero if any step fails.",
        epilog="The services run inside the tour's own process, and the kit's files "
        "(login token, SQL cache) go to a scratch folder removed at the end, unless "
        "ZENTARO_ROOT names one.",
    )
    parser.add_argument("--out", default="out", help="folder for the chart and the run's state")
    parser.add_argument("--no-chart", action="store_true", help="skip the PNG chart")
    args = parser.parse_args(argv)
    try:
        os.makedirs(args.out, exist_ok=True)
        # The services give the kit a scratch home unless the caller chose one.
        return Tour(args.out, chart=not args.no_chart).run()
    except KeyboardInterrupt:
        # Everything the tour started is stopped by now; one line says why it ended.
        print(f"{parser.prog}: interrupted", file=sys.stderr, flush=True)
        return 128 + signal.SIGINT


if __name__ == "__main__":
    sys.exit(main())
