"""Child process for the robustness tests: drives one MySQLDatabaseTabloom from JSON commands.

One command per stdin line, one reply per command on stdout, marked with "@@":
  {"op": "tool", "args": [user, password, host, database], "cache_path": ...}  build and connect
  {"op": "limit_file_size", "bytes": N}  cap the size of any file written from now on
  {"op": "prepare"}                      call prepare_data
Every reply holds the log records written since the previous reply, and either the
tables ([name, rows, columns] each) or the error ([type, errno, text]); a reply to
"prepare" also holds the wall-clock times at which the call began and ended.
"""

import json
import logging
import resource
import signal
import sys
import time


class Keep(logging.Handler):
    def __init__(self):
        super().__init__()
        self.seen = []

    def emit(self, record):
        self.seen.append([record.levelname, record.getMessage()])


def describe(tables):
    return [[getattr(t, "name", None), len(t), [str(c) for c in t.columns]] for t in tables]


def main():
    import orvelkit.tabloom as tabloom

    keep = Keep()
    logging.getLogger().addHandler(keep)
    tool = None
    print("@@" + json.dumps({"ready": True}), flush=True)
    for line in sys.stdin:
        command = json.loads(line)
        reply = {}
        try:
            if command["op"] == "tool":
                tool = tabloom.MySQLDatabaseTabloom(*command["args"],
                                                    cache_path=command["cache_path"])
                tool.connect()
            elif command["op"] == "limit_file_size":
                # Ignored, the signal no longer kills the process: the write fails with EFBIG.
                signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
                resource.setrlimit(resource.RLIMIT_FSIZE, (command["bytes"], command["bytes"]))
            elif command["op"] == "prepare":
                reply["began"] = time.time()
                try:
                    reply["tables"] = describe(tool.prepare_data())
                finally:
                    reply["ended"] = time.time()
            else:
                raise ValueError("unknown command " + command["op"])
        except Exception as error:
            reply["error"] = [type(error).__name__, getattr(error, "errno", None), str(error)]
        reply["records"], keep.seen = keep.seen, []
        print("@@" + json.dumps(reply), flush=True)


if __name__ == "__main__":
    main()
