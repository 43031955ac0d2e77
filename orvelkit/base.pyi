"""The MySQL connector: a llama_index SQLDatabase, with outcomes reported in a status dict."""

from typing import Any, Dict

from llama_index import SQLDatabase

__test__: dict[str, Any]

class MySQLDatabaseConnector:
    db_user: str | None
    db_password: str | None
    db_host: str | None
    db_name: str | None
    db: SQLDatabase | None
    connection_status: Dict[str, Any]
    def __init__(
        self,
        db_user: str | None = None,
        db_password: str | None = None,
        db_host: str | None = None,
        db_name: str | None = None,
    ) -> None: ...
    def connect(self) -> Dict[str, Any]: ...
    def getdbinstance(self) -> SQLDatabase | Dict[str, Any] | None: ...
