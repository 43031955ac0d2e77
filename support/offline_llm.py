"""A language model for llama_index that never leaves the process.

Asked for SQL (the text-to-SQL prompt ends in "SQLQuery:"), it answers with a
fixed query; asked anything else (the synthesis step), it answers with a
fixed sentence.  Enough to drive NLSQLTableQueryEngine against a real
database with no model endpoint anywhere: the tests and the demo both use it.
"""

from __future__ import annotations

from typing import Any

from llama_index.llms import CompletionResponse, CompletionResponseGen, CustomLLM, LLMMetadata
from llama_index.llms.base import llm_completion_callback


class FixedSQLLLM(CustomLLM):
    sql: str = "SELECT 1"
    answer: str = "No answer."

    @property
    def metadata(self) -> LLMMetadata:
        return LLMMetadata(context_window=4096, num_output=256, model_name="fixed-sql")

    @llm_completion_callback()
    def complete(self, prompt: str, formatted: bool = False, **kwargs: Any) -> CompletionResponse:
        if "SQLQuery:" in prompt:
            return CompletionResponse(text=f"{self.sql}\nSQLResult:")
        return CompletionResponse(text=self.answer)

    @llm_completion_callback()
    def stream_complete(self, prompt: str, formatted: bool = False,
                        **kwargs: Any) -> CompletionResponseGen:
        yield self.complete(prompt, formatted=formatted, **kwargs)


def offline_service_context(llm: FixedSQLLLM):
    """A ServiceContext over `llm` with a local mock embedding: nothing to download."""
    from llama_index import MockEmbedding, ServiceContext

    return ServiceContext.from_defaults(llm=llm, embed_model=MockEmbedding(embed_dim=8))
