"""Small helpers of the framework (minimal stand-in)."""
import functools
import logging
import traceback

logger = logging.getLogger(__name__)


def safe_call(func):
    """Run ``func`` and log, instead of raise, any exception it throws.

    Used on callbacks that run on threads which must not die because one
    event could not be handled; the wrapped call then returns None.
    """
    @functools.wraps(func)
    def wrapper(*args, **kwargs):
        try:
            return func(*args, **kwargs)
        except Exception:
            logger.error("%s failed:\n%s", func.__qualname__, traceback.format_exc())
            return None
    return wrapper
