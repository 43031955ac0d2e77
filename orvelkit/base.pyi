"""The MySQL connector: a llama_index SQLDatabase, with outcomes reported in a status dict."""

from typing import Any, Dict

from llama_index import SQLDatabase

__test__: dict[str, Any]

class MySQLDatabaseConnector:
    db_user: Any
    db_password: Any
    db_host: Any
    db_name: Any
    db: SQLDatabase | None
    connection_status: Dict[str, Any]
    def __init__(
        self,
        db_user: Any = None,
        db_password: Any = None,
        db_host: Any = None,
        db_name: Any = None,
    ) -> None: ...
    def connect(self) -> Dict[str, Any]: ...
    def getdbinstance(self) -> SQLDatabase | Dict[str, Any] | None: ...
