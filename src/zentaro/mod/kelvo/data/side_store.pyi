from typing import Self
import pandas
import types
import zentaro.mod.kelvo.setting as setting
import zentaro.mod.kelvo.utils.platform_rpc


kl_api: zentaro.mod.kelvo.utils.platform_rpc.APIClient = ...

class SideStore:
    """根据sql获取数据，将pg里面的基本信息存储为hdf文件"""

    def __init__(self) -> None:
        """Point the store at its folder under INFO_PATH."""

    def __enter__(self) -> Self:
        """Create the cache folder and return the store."""

    def __exit__(self, exc_type: type[BaseException] | None, exc_val: BaseException | None, exc_tb: types.TracebackType | None) -> None:
        """Do nothing."""

    def read(self, sql: str) -> pandas.DataFrame:
        """Return the frame of `sql`, from the cache or else from the server."""

    path: str
