"""A language model for llama_index that never leaves the process.

Asked for SQL (the text-to-SQL prompt ends in "SQLQuery:"), it answers with a
fixed query; asked anything else (the synthesis step), it answers with a
fixed sentence.  Enough to drive NLSQLTableQueryEngine against a real
database with no model endpoint anywhere: the tests and the demo both use it.

llama_index comes in two layouts that cannot share an environment: 0.9 keeps
everything at the top of the package, 0.10 and later under llama_index.core
(and OpenAI in the separate llama_index.llms.openai).  Which one is installed
is read from the installed distributions, not from what imports, so the tests
can hold orvelkit.base's own choice against it: llama_index.core imports under
0.9 too, it is just a different module there.
"""

from __future__ import annotations

from importlib import metadata
from typing import Any, Dict


def _installed(distribution: str) -> bool:
    try:
        metadata.version(distribution)
    except metadata.PackageNotFoundError:
        return False
    return True


CORE_LAYOUT = _installed("llama-index-core")

if CORE_LAYOUT:
    import llama_index.core as package
    from llama_index.core import MockEmbedding, SQLDatabase
    from llama_index.core.llms import (CompletionResponse, CompletionResponseGen, CustomLLM,
                                       LLMMetadata)
    from llama_index.core.llms.callbacks import llm_completion_callback
    from llama_index.core.query_engine import NLSQLTableQueryEngine
    from llama_index.llms.openai import OpenAI
else:
    import llama_index as package
    from llama_index import MockEmbedding, SQLDatabase
    from llama_index.indices.struct_store.sql_query import NLSQLTableQueryEngine
    from llama_index.llms import (CompletionResponse, CompletionResponseGen, CustomLLM,
                                  LLMMetadata, OpenAI)
    from llama_index.llms.base import llm_completion_callback

# The package whose top holds SQLDatabase and ServiceContext in the installed layout.
LLAMA_INDEX = package
ServiceContext = package.ServiceContext

__all__ = ["CORE_LAYOUT", "LLAMA_INDEX", "FixedSQLLLM", "MockEmbedding", "NLSQLTableQueryEngine",
           "OpenAI", "SQLDatabase", "ServiceContext", "offline_models"]


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


def offline_models(llm: FixedSQLLLM) -> Dict[str, Any]:
    """The keywords that hand `llm` and a local mock embedding to NLSQLTableQueryEngine, so
    nothing is downloaded and no default OpenAI client is built: a ServiceContext under 0.9, the
    models themselves from 0.10 on, where calling ServiceContext raises and the engine takes
    them directly (which also leaves the process-wide Settings alone)."""
    embedding = MockEmbedding(embed_dim=8)
    if CORE_LAYOUT:
        return {"llm": llm, "embed_model": embedding}
    return {"service_context": ServiceContext.from_defaults(llm=llm, embed_model=embedding)}
