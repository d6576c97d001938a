"""The main job: a paper-trading session of the engine, offline.

    ./run demo [--minutes N] [--seed S] [--out DIR] [--on-stop close|keep]    (--help for all)

The session lives in the package (``velmor_trader.paper_trading``, one small
module per part: engine, strategy, chat desk and operator, report); this
script only starts it.
"""
import sys

from velmor_trader.paper_trading.session import main

if __name__ == "__main__":
    sys.exit(main())
