"""What importing each module amounts to when written in Python: the same imports and the same
class definitions, so a fresh interpreter's import time can be compared."""


def auspex():
    from datetime import datetime, timedelta  # noqa: F401
    import json  # noqa: F401
    import re  # noqa: F401
    from typing import Dict  # noqa: F401

    import pandas as pd  # noqa: F401
    from dateutil import parser  # noqa: F401
    try:
        from langchain.tools.base import BaseTool
    except ModuleNotFoundError:
        from langchain_core.tools import BaseTool
    from pydantic import BaseModel, Field
    from sklearn.linear_model import LinearRegression  # noqa: F401

    class ForecastInput(BaseModel):
        df: "pd.DataFrame" = Field(description="Input dataset as a DataFrame")
        period: "int" = Field(description="The period to forecast")

        class Config:
            arbitrary_types_allowed = True

    class Auspex(BaseTool):
        if hasattr(BaseTool, "model_fields"):  # a pydantic-2 model refuses unannotated fields
            __annotations__ = {"name": "str", "description": "str"}
        name = "forecast"
        description = "\n    Use this tool for time series forecasting\n    "

        def _run(self, input: "str") -> "Dict":
            return {}

        async def _arun(self, data: "str") -> "str":
            raise NotImplementedError("Auspex does not support async")

    return ForecastInput, Auspex


def tabloom():
    import logging
    import os  # noqa: F401
    import pickle  # noqa: F401
    from datetime import datetime, timedelta  # noqa: F401

    import pandas as pd  # noqa: F401
    import sqlalchemy  # noqa: F401
    from sqlalchemy import create_engine, inspect  # noqa: F401
    from sqlalchemy.exc import SQLAlchemyError  # noqa: F401

    logging.basicConfig(level=logging.INFO,
                        format="%(asctime)s - %(levelname)s - %(message)s")
    import reference_db
    return reference_db.Tabloom


def base():
    import os  # noqa: F401

    from sqlalchemy import create_engine  # noqa: F401

    # The layout is told by the first import, as orvelkit.base does.
    try:
        from llama_index.indices.struct_store.sql_query import NLSQLTableQueryEngine  # noqa: F401
    except ModuleNotFoundError as e:
        if e.name != "llama_index.indices":
            raise
        from llama_index.core.query_engine import NLSQLTableQueryEngine  # noqa: F401
        from llama_index.core import SQLDatabase, ServiceContext  # noqa: F401
        from llama_index.llms.openai import OpenAI  # noqa: F401
    else:
        from llama_index import SQLDatabase, ServiceContext  # noqa: F401
        from llama_index.llms import OpenAI  # noqa: F401

    class MySQLDatabaseConnector:
        def __init__(self, db_user=None, db_password=None, db_host=None, db_name=None):
            self.db_user, self.db_password = db_user, db_password
            self.db_host, self.db_name = db_host, db_name
            self.db = None
            self.connection_status = {"connected": False, "message": None}

    return MySQLDatabaseConnector
