"""The CQG API environment of the gateway.

``CELSinkBase`` marks an object as the receiver of the API's events;
``Trace`` and ``AssertMessage`` are the gateway's logging hooks;
``CELEnvironment`` starts the API with an event sink and shuts it down.

The real API is a Windows COM server. Where it is not available the
environment runs the simulated server of ``velmor_trader.gateways.cqg.simulator``;
another server can be plugged in with ``api_factory``.
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


def _simulated_api(sink, **options):
    """Start a simulated server delivering to ``sink``; returns the server
    and its API root object.

    The client reads ``win32com.client``; on a machine without it, call
    ``velmor_trader.gateways.cqg.simulator.install_win32com()`` first.
    """
    from velmor_trader.gateways.cqg.simulator import Simulator
    simulator = Simulator(**options)
    simulator.start(sink)
    return simulator, simulator.cel


class CELEnvironment:
    """Starts the API for one event sink; ``cqgCEL`` is the API root object.

    Typical use by the gateway::

        self.celEnvironment = CELEnvironment()
        self.celEnvironment.Init(bridge)          # bridge: a CELSinkBase
        bridge.Init(self)                          # reads celEnvironment
        ...
        self.celEnvironment.Shutdown()

    ``api_factory(sink, **options)`` returns ``(server, root)``; ``server``
    must offer ``stop()``. The default runs the simulated server, to which
    ``options`` go (``seed``, ``speed``, ``start``, ...).
    """

    def __init__(self, api_factory=None):
        self._api_factory = api_factory or _simulated_api
        self.server = None
        self.cqgCEL = None

    @property
    def simulator(self):
        """The running server (the simulator, unless another was plugged in)."""
        return self.server

    def Init(self, sink, **options):
        """Start the API with ``sink`` receiving its events; returns the
        API root object."""
        if self.cqgCEL is not None:
            raise RuntimeError("the API environment is already started")
        Trace("Starting the API environment")
        self.server, self.cqgCEL = self._api_factory(sink, **options)
        return self.cqgCEL

    def Shutdown(self):
        """Stop the API: no event is delivered once this returns."""
        server, self.server, self.cqgCEL = self.server, None, None
        if server is not None:
            Trace("Shutting down the API environment")
            server.stop()

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.Shutdown()
