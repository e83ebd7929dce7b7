"""zentaro-broker-demo: the funds, positions, trades and orders of a brokerage account.

Uses the broker backend the environment configures (as under zentaro-local);
without one it starts the simulated brokerage for the run.
"""

import argparse
import contextlib
import sys

from zentaro.support.text_table import format_table

SAMPLE_ACCOUNT_ID = "80001234"


def _money(value):
    return f"{value:,.2f}"


def account_lines(api):
    """The account as short tables: funds, positions, then trades and orders."""
    funds = api.portfolio
    lines = [f"Account {api.account_id}"]
    lines += format_table(
        [[_money(funds.total_value), _money(funds.available_cash), _money(funds.market_value)]],
        ["total value", "available cash", "market value"],
    )
    positions = list(api.positions.values())
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
    orders = api.secondary_orders()
    trades = api.get_tradelogs()
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

    with brokerage_backend() as started:
        if started is not None:
            print(f"(simulated brokerage started for this run at {started.url})")
        try:
            lines = account_lines(TradeAPI(args.account))
        except TradeException as exc:
            print(f"zentaro-broker-demo: {exc}", file=sys.stderr)
            return 1
    print("\n".join(lines))
    return 0


if __name__ == "__main__":
    sys.exit(main())
