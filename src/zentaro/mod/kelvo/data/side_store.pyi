import zentaro.mod.kelvo.setting as setting
import zentaro.mod.kelvo.utils.platform_rpc


kl_api: zentaro.mod.kelvo.utils.platform_rpc.APIClient = ...

class SideStore:
    """根据sql获取数据，将pg里面的基本信息存储为hdf文件"""

    def __init__(self):
        """Point the store at its folder under INFO_PATH."""

    def __enter__(self):
        """Create the cache folder and return the store."""

    def __exit__(self, exc_type, exc_val, exc_tb):
        """Do nothing."""

    def read(self, sql):
        """Return the frame of `sql`, from the cache or else from the server."""
