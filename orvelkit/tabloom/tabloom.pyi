"""The table-cache tool: every table of one MySQL database as DataFrames, through a pickle cache."""

from typing import Any, List

import pandas as pd
from sqlalchemy.engine import Engine

__test__: dict[str, Any]

class MySQLDatabaseTabloom:
    connection_string: str
    engine: Engine | None
    cache_path: str
    cache_file: str
    def __init__(
        self,
        username: str,
        password: str,
        host: str,
        database: str,
        cache_path: str = ".",
        cache_file: str = "db_cache.pkl",
    ) -> None: ...
    def connect(self) -> None: ...
    def prepare_data(self) -> List[pd.DataFrame]: ...
    def print_table_schemas(self) -> None: ...
