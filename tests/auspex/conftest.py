def pytest_configure(config):
    config.addinivalue_line("markers", "slow: runs an entry point many thousands of times")
