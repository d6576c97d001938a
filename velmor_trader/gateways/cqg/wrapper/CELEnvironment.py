"""The CQG API environment of the gateway (minimal stand-in).

``CELSinkBase`` marks an object as the receiver of the API's events;
``Trace`` and ``AssertMessage`` are the gateway's logging hooks.
"""
import logging

logger = logging.getLogger("velmor_trader.cqg")


class CELSinkBase:
    """Base class of the objects that receive the CQG API's events."""


def Trace(message):
    logger.info("%s", message)


def AssertMessage(condition, message):
    if not condition:
        logger.warning("%s", message)
