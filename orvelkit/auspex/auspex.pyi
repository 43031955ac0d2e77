"""The forecasting tool: a straight-line forecast, date normalisation and the LangChain tool."""

from datetime import datetime as datetime, timedelta as timedelta
from typing import Any, Dict

import pandas as pd
from langchain_core.tools import BaseTool
from pydantic import BaseModel

__test__: dict[str, Any]

class ForecastInput(BaseModel):
    """Inputs for the forecasting function."""

    df: pd.DataFrame
    period: int

    class Config:
        arbitrary_types_allowed: bool

class Auspex(BaseTool):
    """Tool for time series forecasting."""

    name: str = "forecast"
    description: str = ...
    def _run(self, input: str) -> pd.DataFrame | Dict[str, str]:
        """Time series forecasting."""
    async def _arun(self, data: str) -> str:
        """Always raises NotImplementedError: the tool has no asynchronous form."""

def conv_date(dt: str) -> str: ...
def ts_forecast(df: pd.DataFrame, period: int) -> pd.DataFrame:
    """Perform time series forecasting on a DataFrame with two columns (date and values)."""
