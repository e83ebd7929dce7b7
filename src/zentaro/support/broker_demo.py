"""zentaro-broker-demo: the funds, positions, trades and orders of a brokerage account.

Uses the broker backend the environment configures (as under zentaro-local);
without one it starts the simulated brokerage for the run.
"""

import argparse
import contextlib
import sys

from zentaro.support.text_table import format_table

SAMPLE_ACCOUNT_ID = "80001234"

trade_api = None  # the demonstration's TradeAPI, once built


def _money(value):
    return f"{value:,.2f}"


# The broker module's demonstration run (a compiled module cannot run as a
# script, so this command stands in for it): four lines, each a label and the
# record as the module returns it, before the tables.
def demonstration_run(api):
    """Print the four labelled records, each as soon as it is read; return
    them (funds, positions, trades, orders) for the tables."""
    funds = api.portfolio
    print("账号信息:", funds)
    positions = api.positions
    print("持仓信息:", positions)
    trades = api.get_tradelogs()
    print("成交信息:", trades)
    orders = api.secondary_orders()
    print("委托信息:", orders)
    return funds, positions, trades, orders


def account_lines(api, records=None):
    """The account as short tables: funds, positions, then trades and orders.
    `records` are the four already read (broker orders may be read only once
    every three seconds); without them they are read here."""
    if records is None:
        records = api.portfolio, api.positions, api.get_tradelogs(), api.secondary_orders()
    funds, positions, trades, orders = records
    lines = [f"Account {api.account_id}"]
    lines += format_table(
        [[_money(funds.total_value), _money(funds.available_cash), _money(funds.market_value)]],
        ["total value", "available cash", "market value"],
    )
    positions = list(positions.values())
    lines.append(f"Positions ({len(positions)})")
    lines += format_table(
        [
            [
                p.symbol,
                p.name,
                p.amount,
                f"{p.cost_basis:.2f}",
                f"{p.last_price:.2f}",
                _money(p.pnl),
            ]
            for p in positions
        ],
        ["symbol", "name", "amount", "cost", "price", "pnl"],
    )
    lines.append(f"Orders ({len(orders)}), {len(trades)} trades")
    lines += format_table(
        [
            [
                o.datetime.strftime("%H:%M:%S"),
                o.symbol,
                o.side,
                o.amount,
                f"{o.price:.2f}",
                o.status,
            ]
            for o in orders
        ],
        ["time", "symbol", "side", "amount", "price", "status"],
    )
    return lines


@contextlib.contextmanager
def brokerage_backend():
    """The configured backend, or a simulated brokerage started for this run."""
    from zentaro.mod.tradeapi.sdk import client_rv

    try:
        client_rv.backend_factory()
    except client_rv.BackendNotConfigured:
        pass
    else:
        yield None
        return
    from zentaro.support.brokerage import BrokerageServer, RemoteBrokerage

    with BrokerageServer() as server:
        client_rv.set_backend_factory(lambda: RemoteBrokerage(server.url))
        try:
            yield server
        finally:
            client_rv.set_backend_factory(None)


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="zentaro-broker-demo",
        description="Print the funds, positions, trades and orders of a brokerage account "
        "as short tables, read through the kit's TradeAPI.",
        epilog="It uses the broker backend the environment configures "
        "(ZENTARO_BROKER_BACKEND, as zentaro-local run sets it); without one it starts the "
        "simulated brokerage for the run. Exit status 1 when the account query fails.",
    )
    parser.add_argument(
        "--account", default=SAMPLE_ACCOUNT_ID, help="account id (default: the sample account)"
    )
    args = parser.parse_args(argv)
    from zentaro.mod.tradeapi.api.broker_desk import TradeAPI
    from zentaro.utils.exception import TradeException

    global trade_api
    with brokerage_backend() as started:
        try:
            trade_api = TradeAPI(args.account)
            records = demonstration_run(trade_api)
            if started is not None:
                print(f"(simulated brokerage started for this run at {started.url})")
            lines = account_lines(trade_api, records)
        except TradeException as exc:
            print(f"zentaro-broker-demo: {exc}", file=sys.stderr)
            return 1
    print("\n".join(lines))
    return 0


if __name__ == "__main__":
    sys.exit(main())
