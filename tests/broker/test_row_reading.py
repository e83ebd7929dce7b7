"""Answer rows are read at the entry where the previous row held each field:
rows of other layouts, keys equal but not the same object, reordered, removed
and re-added keys, and missing fields must read exactly as lookups do."""

import json

import pytest

from shared.broker import answering, orders_unlimited
from zentaro.utils.exception import TradeException

ORDERS = 1204


def base_row(i):
    return {
        "SecurityID": f"600{i:03d}",
        "SecurityName": f"名{i}",
        "OrderID": str(i),
        "OrderQty": 100 + i,
        "Side": i % 2,
        "OrderPrice": 1.5 + i,
        "OrderTypeMsg": "限价",
        "OrderDate": "20240105",
        "OrderTime": f"09:{30 + i % 30:02d}:{i % 60:02d}",
        "OrderStatusMsg": "已成",
        "TradeVolume": i,
        "AvgPx": 1.25 + i,
    }


def reordered(row):
    return dict(reversed(list(row.items())))


def from_json(row):  # equal keys, not the interned ones
    return json.loads(json.dumps(row))


def re_added(row):  # a removed entry before the key's new place
    row = dict(row)
    row["Side"] = row.pop("Side")
    return row


def with_extra(row):
    return {"Extra": object(), **row, "Tail": 1}


def without_status(row):
    row = dict(row)
    del row["OrderStatusMsg"]
    return row


def convert(rows):
    with answering(rows, ORDERS) as api:
        return orders_unlimited(api)


@pytest.mark.parametrize(
    "layouts",
    [
        [reordered, from_json, re_added, with_extra, without_status],
        [from_json, from_json, reordered, reordered],
        [without_status, re_added, with_extra, from_json],
    ],
)
def test_mixed_layouts_read_like_lookups(layouts):
    rows = [base_row(i) for i in range(3 * len(layouts))]
    shaped = [layouts[i % len(layouts)](row) for i, row in enumerate(rows)]
    expected = [convert([row])[0] for row in shaped]  # each read on its own
    assert convert(shaped) == expected
    assert [r["status"] for r in expected].count(None) == (without_status in layouts) * 3


def test_a_missing_field_after_a_hinted_row_reports_its_key_error():
    broken = base_row(2)
    del broken["OrderQty"]
    with pytest.raises(TradeException, match="KeyError: 'OrderQty'"):
        convert([base_row(1), broken])
