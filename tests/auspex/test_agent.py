"""The tool inside real LangChain agent loops, driven offline by scripted models: a ReAct agent
over a text model, and a tool-calling agent over a chat model. langchain 1.x moved the first to
langchain_classic and replaced the second with its own create_agent; each stack runs its form."""

import json

import langchain
import pandas as pd
import pytest
from langchain_core.language_models import BaseChatModel
from langchain_core.language_models.fake import FakeListLLM
from langchain_core.language_models.fake_chat_models import GenericFakeChatModel
from langchain_core.messages import AIMessage, ToolMessage
from langchain_core.prompts import ChatPromptTemplate, PromptTemplate

from orvelkit.auspex import Auspex

LANGCHAIN_1 = int(langchain.__version__.split(".")[0]) >= 1
if LANGCHAIN_1:
    from langchain.agents import create_agent
    from langchain_classic.agents import AgentExecutor, create_react_agent
else:
    from langchain.agents import AgentExecutor, create_react_agent, create_tool_calling_agent

PROMPT = PromptTemplate.from_template(
    "Tools:\n{tools}\nUse Thought/Action (one of [{tool_names}])/Action Input/Observation, "
    "then Final Answer.\nQuestion: {input}\nThought:{agent_scratchpad}")
FORECAST_REQUEST = json.dumps({"data_input": {"date": ["2024-01-01", "01/02/2024", "Jan 3 2024"],
                                              "values": [1, 2, 3]}, "period": 2})
ONE_ROW_REQUEST = "{'data_input': {'date': ['2024-01-01'], 'values': [1]}, 'period': 2}"
FIRST_EXAMPLE = pd.DataFrame({"dates": ["2024-01-04", "2024-01-05"],
                              "Forecasted_values": [4.0, 5.0]})


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
    observation = observe(FORECAST_REQUEST)
    assert isinstance(observation, pd.DataFrame)
    assert observation.to_dict("list") == {"dates": ["2024-01-04", "2024-01-05"],
                                           "Forecasted_values": pytest.approx([4.0, 5.0])}


def test_agent_observes_the_error_dict(capsys):
    observation = observe(ONE_ROW_REQUEST)
    assert observation == {"error": "division by zero"}
    assert capsys.readouterr().err.endswith("ZeroDivisionError: division by zero\n")


class ToolCallingModel(GenericFakeChatModel):
    """Answers from its script and keeps every list of messages it was given. It answers whole:
    the fake's streaming splits an answer into chunks, and one with only a tool call into none."""

    seen: list = []
    _stream = BaseChatModel._stream

    def bind_tools(self, tools, **kwargs):
        return self

    def _generate(self, messages, *args, **kwargs):
        self.seen.append(list(messages))
        return super()._generate(messages, *args, **kwargs)


def tool_message_seen(request_text):
    """The message the model gets back after it called the tool once with request_text."""
    call = {"name": "forecast", "args": {"input": request_text}, "id": "call-1",
            "type": "tool_call"}
    model = ToolCallingModel(messages=iter([AIMessage(content="", tool_calls=[call]),
                                            AIMessage(content="done")]), seen=[])
    if LANGCHAIN_1:
        out = create_agent(model, [Auspex()]).invoke({"messages": [("user", "forecast please")]})
        assert out["messages"][-1].content == "done"
    else:
        prompt = ChatPromptTemplate.from_messages([("human", "{input}"),
                                                   ("placeholder", "{agent_scratchpad}")])
        agent = create_tool_calling_agent(model, [Auspex()], prompt)
        out = AgentExecutor(agent=agent, tools=[Auspex()], max_iterations=3).invoke(
            {"input": "forecast please"})
        assert out["output"] == "done"
    assert len(model.seen) == 2
    answer = model.seen[1][-1]
    assert isinstance(answer, ToolMessage) and answer.tool_call_id == "call-1"
    return answer.content


@pytest.mark.parametrize("request_text, expected", [
    (FORECAST_REQUEST, str(FIRST_EXAMPLE)),
    (ONE_ROW_REQUEST, json.dumps({"error": "division by zero"})),
], ids=["forecast table", "error dict"])
def test_tool_calling_agent_gets_the_result_as_text(capsys, request_text, expected):
    assert tool_message_seen(request_text) == expected
