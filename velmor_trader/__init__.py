"""velmor_trader: an event-driven algorithmic-trading framework.

The performance-critical modules (instrument model, broker client, fee
schedules, SQLite store, chat bot and metrics) are native extension modules;
the framework modules around them are plain Python.

The framework modules shipped here (``core.constants``, ``core.data``,
``core.order``, ``core.deal``, ``core.position``, ``core.balance``,
``core.utility``, ``gateways``, ``gateways.base_gateway`` and
``gateways.cqg.wrapper.CELEnvironment``) are minimal stand-ins: each holds
just what the native modules rely on, so that the package runs and is tested
on its own.
"""
