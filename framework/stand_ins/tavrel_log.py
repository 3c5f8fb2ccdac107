"""Stand-in for the framework's ``tavrel_log`` module.

The real framework is not available to this project. This module provides
only what ``sftp_main`` needs of it; an installation of the real framework
replaces it.
"""

import logging

__all__ = ["TavrelLog"]

LOGGER_NAME = "tavrel"


class TavrelLog:
    """A thin wrapper around a standard :mod:`logging` logger.

    ``file`` asks the real framework for a log file; this stand-in never
    writes one, so it accepts only a false value.
    """

    __slots__ = ("logger",)

    def __init__(self, file=False):
        if file:
            raise ValueError("the tavrel_log stand-in writes no log file; pass file=False")
        self.logger = logging.getLogger(LOGGER_NAME)

    def debug(self, msg, *args, **kwargs):
        self.logger.debug(msg, *args, **kwargs)

    def info(self, msg, *args, **kwargs):
        self.logger.info(msg, *args, **kwargs)

    def warning(self, msg, *args, **kwargs):
        self.logger.warning(msg, *args, **kwargs)

    def error(self, msg, *args, **kwargs):
        self.logger.error(msg, *args, **kwargs)

    def exception(self, msg, *args, **kwargs):
        self.logger.exception(msg, *args, **kwargs)

    def critical(self, msg, *args, **kwargs):
        self.logger.critical(msg, *args, **kwargs)

    def __repr__(self):
        return f"TavrelLog(logger={self.logger.name!r}, file=False)"
