"""What repeated calls leave behind: the interpreter's allocated blocks and the resident set."""

from __future__ import annotations

import gc
import os
import sys
from typing import Any, Callable, NamedTuple


class Growth(NamedTuple):
    blocks: int
    rss_kib: int


def resident_kib() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def ignoring(call: Callable[[], Any], *errors: type[BaseException]) -> Callable[[], None]:
    """`call` with the named errors (any Exception when none are named) swallowed."""
    caught = errors or (Exception,)

    def action() -> None:
        try:
            call()
        except caught:
            pass
    return action


def growth(action: Callable[[], Any], calls: int, warm_up: int, rounds: int = 1) -> Growth:
    """Growth over `calls` calls of `action` after `warm_up` unmeasured ones.

    With several rounds the calls are split between them and the smallest growth of any round
    is kept: a library cache that is still filling up shows in one round, a leak of a block per
    call in every one.
    """
    for _ in range(warm_up):
        action()
    seen = []
    for _ in range(rounds):
        gc.collect()
        blocks, rss = sys.getallocatedblocks(), resident_kib()
        for _ in range(calls // rounds):
            action()
        gc.collect()
        seen.append(Growth(sys.getallocatedblocks() - blocks, resident_kib() - rss))
    return Growth(min(g.blocks for g in seen), min(g.rss_kib for g in seen))
