"""The MySQL connector: a llama_index SQLDatabase, with outcomes reported in a status dict."""

from typing import Any, Dict, TypeAlias

# llama_index's two layouts cannot share an environment: 0.9 keeps SQLDatabase at the top of the
# package, 0.10 and later in llama_index.core. The one not installed reads as Any, so the database
# is the installed layout's SQLDatabase either way.
from llama_index import SQLDatabase as _SQLDatabase09  # type: ignore[attr-defined,unused-ignore]
from llama_index.core import SQLDatabase as _SQLDatabase  # type: ignore[attr-defined,unused-ignore]

_Database: TypeAlias = _SQLDatabase09 | _SQLDatabase

__test__: dict[str, Any]

class MySQLDatabaseConnector:
    db_user: str | None
    db_password: str | None
    db_host: str | None
    db_name: str | None
    db: _Database | None
    connection_status: Dict[str, Any]
    def __init__(
        self,
        db_user: str | None = None,
        db_password: str | None = None,
        db_host: str | None = None,
        db_name: str | None = None,
    ) -> None: ...
    def connect(self) -> Dict[str, Any]: ...
    def getdbinstance(self) -> _Database | Dict[str, Any] | None: ...
