# A user's script in the README's style, checked by mypy (never run): every
# line marked "# mypy: <code>" is a mistake the stubs must catch with that
# error code, and every other line must pass.
from zentaro.mod.kelvo.data.side_store import SideStore
from zentaro.mod.kelvo.modules.zrcelery_utils.paper_book import PaperBook
from zentaro.mod.kelvo.research.normal_query.query_text import StrQuery, valuation
from zentaro.mod.kelvo.utils.deferred_import import DeferredImport
from zentaro.mod.kelvo.utils.platform_rpc import APIClient, kl_api
from zentaro.mod.kelvo.utils.recorder import in_log, log
from zentaro.mod.tradeapi.api.broker_desk import TradeAPI
from zentaro.mod.tradeapi.sdk.gateway_link import GatewayClient
from zentaro.mod.tradeapi.sdk.utils import NameDict

# Platform client: the services are callables; login needs both halves.
logged_in: bool = kl_api.login("demo", "demo-pass")
kl_api.instruments()
kl_api.trading_dates(start_date="2024-01-01", end_date="2024-01-31")
kl_api.get_fundamentals(rows=2000)
client_of_test_server = APIClient(base_url="https://127.0.0.1:8443/sdk/")
kl_api.login("demo")  # mypy: call-arg
kl_api.logout(True)  # mypy: call-arg

# Paper account: the figures are numbers.
book = PaperBook("CN", "1d", "demo-paper", 1_000_000, "out/paper_state")
total: float = book.total_asset_value + book.ending_cash - book.market_value
print(book.profit_and_loss, [position["symbol"] for position in book.positions])
book.total_asset_value + " CNY"  # mypy: operator

# Brokerage account: one account, records in NameDicts.
api = TradeAPI("80001234")
funds: NameDict = api.portfolio
positions: dict[str, NameDict] = api.positions
trades: list[NameDict] = api.get_tradelogs()
orders = api.secondary_orders() + api.get_orders(start_time="2024-01-02", end_time="2024-01-03")
api.register_push(lambda order: print(order))
TradeAPI()  # mypy: call-arg
api.get_orders(start="2024-01-02")  # mypy: call-arg

# Futures gateway.
gateway = GatewayClient("青岚", "880001", "futures-pass")
gateway.connect()
gateway.call_rpc("query_position", {"instrument": "rb2405"})
GatewayClient("青岚", "880001")  # mypy: call-arg

# Research queries: a field's comparison is a condition text, queries chain.
condition: str = valuation.pe_ratio < 30
query: StrQuery = StrQuery(valuation.symbol, valuation.pe_ratio).filter(condition).limit(20)
text: str = str(query.offset(40).filter(valuation.pe_ratio.in_([10, 20]), valuation.pb >= 1))
is_cheap: bool = valuation.pe_ratio < 30  # mypy: assignment
StrQuery(valuation.symbol).filter(valuation.pe_ratio)  # mypy: arg-type

# SQL cache.
with SideStore() as store:
    frame = store.read("select code, close from daily_bars limit 50000")
same_store: SideStore = SideStore().__enter__()
same_store.read(sql="select 1")
same_store.read()  # mypy: call-arg

# Logs and deferred imports.
log.set_limited("warn")
log.info("day", 3, "done")
in_log.info({"progress": 1}, datetime=None)
pd = DeferredImport("pandas")
pd.DataFrame({"a": [1]})
join = DeferredImport("os.path.join")
join("a", "b")
DeferredImport()  # mypy: call-arg
