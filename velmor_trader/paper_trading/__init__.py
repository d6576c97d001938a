"""A paper-trading session of the engine, offline, through all six native modules.

    velmor-paper [--minutes N] [--seed S] [--out DIR] [--log-level LEVEL]
    python -m velmor_trader.paper_trading [the same options]

On an embedded default set-up (the simulated broker API on a sped-up clock, a
SQLite file in the output folder, the local stand-in of the chat service) the
engine logs on through ``CelBridge``, streams quotes, order books and
one-minute bars of a few futures and stocks, trades a moving-average cross with
limit, market and stop orders, prices every order's deals with the broker's
fee schedules, stores balances, positions, orders and deals as they happen,
answers a scripted operator in the chat, stops on /stop and ends with a report.

The modules, in the order a session uses them:

``defaults``  the embedded set-up: instruments, account, chat, clock speed
``simtime``   simulated time: the holds that make a session repeatable
``store``     the four tables
``fees``      the fee schedules applied to an order's deals
``strategy``  the moving-average cross
``desk``      the engine's side of the chat: reports and trading requests
``engine``    the engine: broker client, gateway, records, the event loop
``operator``  the scripted operator on the other side of the chat
``report``    the figures, the table and the picture
``console``   what a person sees while it runs
``outdir``    the output folder: whose files are in it, where earlier sessions' go
``logs``      the session's log: levels, simulated times, the broker client's trace
``session``   one session from start to report (and the command line)
"""
