"""The one embedded platform server of a test run, and its reset between tests."""


def reset_server(srv):
    """No faults, answers, notice or records left by an earlier test."""
    srv.clear_faults()
    srv._answers.clear()
    srv.notice = None
    del srv.calls[:], srv.login_requests[:]
