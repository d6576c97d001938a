"""Gateways connect the engine to brokers (minimal stand-in)."""
from velmor_trader.gateways.base_gateway import BaseFees, BaseGateway

__all__ = ["BaseGateway", "BaseFees"]
