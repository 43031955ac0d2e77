"""The tool inside a real LangChain agent loop, driven offline by a scripted model."""

import json

import pandas as pd
import pytest
from langchain.agents import AgentExecutor, create_react_agent
from langchain_core.language_models.fake import FakeListLLM
from langchain_core.prompts import PromptTemplate

from orvelkit.auspex import Auspex

PROMPT = PromptTemplate.from_template(
    "Tools:\n{tools}\nUse Thought/Action (one of [{tool_names}])/Action Input/Observation, "
    "then Final Answer.\nQuestion: {input}\nThought:{agent_scratchpad}")


def observe(request_text):
    tool = Auspex()
    script = [f"Thought: use the tool.\nAction: forecast\nAction Input: {request_text}",
              "Thought: done.\nFinal Answer: done"]
    agent = create_react_agent(FakeListLLM(responses=script), [tool], PROMPT)
    executor = AgentExecutor(agent=agent, tools=[tool], return_intermediate_steps=True,
                             max_iterations=5)
    out = executor.invoke({"input": "forecast please"})
    assert out["output"] == "done"
    (action, observation), = out["intermediate_steps"]
    assert (action.tool, action.tool_input) == ("forecast", request_text)
    return observation


def test_agent_observes_the_forecast_table():
    observation = observe(json.dumps({"data_input": {"date": ["2024-01-01", "01/02/2024",
                                                              "Jan 3 2024"],
                                                     "values": [1, 2, 3]}, "period": 2}))
    assert isinstance(observation, pd.DataFrame)
    assert observation.to_dict("list") == {"dates": ["2024-01-04", "2024-01-05"],
                                           "Forecasted_values": pytest.approx([4.0, 5.0])}


def test_agent_observes_the_error_dict(capsys):
    observation = observe("{'data_input': {'date': ['2024-01-01'], 'values': [1]}, 'period': 2}")
    assert observation == {"error": "division by zero"}
    assert capsys.readouterr().err.endswith("ZeroDivisionError: division by zero\n")
