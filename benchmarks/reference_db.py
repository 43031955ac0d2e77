"""The table-cache tool written directly in Python against the same SQLAlchemy, pandas and pickle
calls, with the same safeguards (encoded credentials, names that must read back from the URL, atomic
cache write, refusal of foreign or other-source cache files and of anything not a regular file,
table names kept through the cache). What a user would write instead of orvelkit.tabloom.
"""

import logging
import os
import pickle
import stat
import tempfile
from urllib.parse import quote

import pandas as pd
from sqlalchemy import create_engine, inspect
from sqlalchemy.engine import make_url

NAME_KEY = "orvelkit.table_name"
SOURCE_KEY = "orvelkit.source"


def host_text(url):
    host = url.host or ""
    host = f"[{host}]" if ":" in host else host
    return host if url.port is None else f"{host}:{url.port}"


def source_of(connection_string):
    url = make_url(connection_string)
    return {"user": url.username or "", "host": host_text(url), "database": url.database or ""}


class Tabloom:
    def __init__(self, username, password, host, database, cache_path=".",
                 cache_file="db_cache.pkl"):
        if not all([username, password, host, database]):
            raise ValueError("All connection parameters must be provided and not None.")
        user, password, host, database = (format(v, "") for v in (username, password, host, database))
        if max(password, default="\0") > "\xff":
            raise ValueError("The password cannot be sent")
        url = (f"mysql+pymysql://{quote(user, safe='')}:{quote(password, safe='')}"
               f"@{host}/{database}")
        try:
            parsed = make_url(url)
        except Exception:
            parsed = None
        if parsed is None or host_text(parsed) != host:
            raise ValueError("The host cannot be used")
        if (parsed.database or "") != database or parsed.query:
            raise ValueError("The database name cannot be used")
        self.connection_string = url
        self.engine = None
        self.cache_path = cache_path
        self.cache_file = cache_file

    def connect(self):
        self.engine = create_engine(self.connection_string)
        with self.engine.connect():
            pass
        logging.info("Successfully connected to the database.")

    def prepare_data(self):
        path = os.path.join(self.cache_path, self.cache_file)
        if os.path.exists(path):
            try:
                fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY)
                with open(fd, "rb") as file:
                    info = os.fstat(fd)
                    if (not stat.S_ISREG(info.st_mode) or info.st_uid != os.geteuid()
                            or info.st_mode & (stat.S_IWGRP | stat.S_IWOTH)):
                        raise PermissionError(f"refusing to load {path}")
                    os.set_blocking(fd, True)
                    loaded = pickle.load(file)
                servable = not isinstance(loaded, list) or len(loaded) > 0
                if isinstance(loaded, list):
                    expected = None
                    for df in loaded:
                        if isinstance(df, pd.DataFrame) and SOURCE_KEY in df.attrs:
                            expected = expected or source_of(self.connection_string)
                            if df.attrs[SOURCE_KEY] != expected:
                                raise PermissionError(f"refusing to load {path}")
                    for df in loaded:
                        if isinstance(df, pd.DataFrame) and NAME_KEY in df.attrs:
                            object.__setattr__(df, "name", df.attrs[NAME_KEY])
                if servable:
                    return loaded
            except Exception as e:
                logging.error("Error loading cache: " + format(e, ""))
        if not self.engine:
            raise ConnectionError("Database connection not established.")
        dataframes = []
        try:
            source = source_of(self.connection_string)
            with self.engine.connect() as connection:
                for table_name in inspect(self.engine).get_table_names():
                    df = pd.read_sql_table(table_name, connection)
                    object.__setattr__(df, "name", table_name)
                    df.attrs[NAME_KEY] = table_name
                    df.attrs[SOURCE_KEY] = dict(source)
                    dataframes.append(df)
            fd, temporary = tempfile.mkstemp(dir=self.cache_path or ".", prefix=self.cache_file + ".",
                                             suffix=".tmp")
            try:
                with os.fdopen(fd, "wb") as file:
                    pickle.dump(dataframes, file)
                    file.flush()
                    os.fsync(file.fileno())
                os.replace(temporary, path)
            except BaseException:
                os.unlink(temporary)
                raise
            return dataframes
        except Exception as e:
            logging.error("Error fetching tables: " + format(e, ""))
            raise


class Connector:
    """The MySQL connector's constructor and database accessor, as orvelkit.base has them."""

    def __init__(self, db_user=None, db_password=None, db_host=None, db_name=None):
        self.db_user = db_user
        self.db_password = db_password
        self.db_host = db_host
        self.db_name = db_name
        self.db = None
        self.connection_status = {"connected": False, "message": None}

    def getdbinstance(self):
        if (None == self.db_user or None == self.db_password  # noqa: E711
                or None == self.db_host or None == self.db_name):  # noqa: E711
            self.connection_status["message"] = "All database credentials must be provided"
            return self.connection_status
        try:
            if self.db is None:
                uri = (f"mysql+pymysql://{self.db_user:}:{self.db_password:}@{self.db_host:}/"
                       f"{self.db_name:}")
                self.db = SQLDatabase(create_engine(uri))
        except Exception as e:
            self.connection_status["message"] = str(e)
        return self.db


def SQLDatabase(engine):  # noqa: N802 - bound lazily so importing this file stays light
    try:
        from llama_index.core import SQLDatabase as database_type
    except ModuleNotFoundError:
        from llama_index import SQLDatabase as database_type
    return database_type(engine)
