// Fixed texts of the chat bot: usage texts (the handlers' docstrings and
// their answers to rejected arguments) and the class's help text.
#pragma once

namespace bot {

inline constexpr const char *kEchoUsage = "Echo command";
inline constexpr const char *kStopUsage = "/stop [no parameters]: Stop the engine";
inline constexpr const char *kBalanceUsage = "/balance [no parameters]: Fetch balance";
inline constexpr const char *kPositionsUsage =
    "/positions [no parameters]: Fetch positions of all gateways";
inline constexpr const char *kOrdersUsage =
    "/orders [parameters]: Fetch orders\n"
    "- filter:str (optional) if \"-a\", only return alive orders\n"
    "- n:int (optional) number of displayed records";
inline constexpr const char *kDealsUsage =
    "/deals [parameters]: fetch done deals\n"
    "- n:int (optional) number of displayed records";
inline constexpr const char *kCancelOrdersUsage =
    "/cancel_orders [no parameters]: cancel all active orders";
inline constexpr const char *kCancelOrderUsage =
    "/cancel_order [parameters]: cancel an active order\n"
    "- order_id: str, the id of the order\n"
    "- gateway_name: str, the name of the gateway";
inline constexpr const char *kSendOrderUsage =
    "/send_order [parameters] send an order with string instruction:\n"
    "- order_string: str, security_code, quantity, direction(l/s), offset(o/c),\n"
    "                order_type(m/l/s), gateway_name, price(None),\n"
    "                stop_price(None)";
inline constexpr const char *kClosePositionsUsage =
    "/close_positions [parameters]:\n"
    "- gateway_name: str, the name of the gateway";

// The answer to an edited command, which is never carried out.
inline constexpr const char *kEditedRefused =
    " Edited commands are not carried out: send the command again as a new message.";

inline constexpr const char *kHelp =
    "\n"
    "    <Velmor-Trader TelegramBot> Available commands:\"\n"
    "    1. /stop\n"
    "    2. /balance\n"
    "    3. /positions\n"
    "    4. /orders\n"
    "    5. /deals\n"
    "    6. /cancel_order\n"
    "    7. /cancel_orders\n"
    "    8. /send_order\n"
    "    9. /close_positions\n"
    "    10. /help\n"
    "    ";

}  // namespace bot
