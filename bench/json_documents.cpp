#include "bench/json_documents.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <string_view>

namespace bench {
namespace {

// splitmix64: tiny and fully specified, unlike the standard distributions,
// whose results differ between standard libraries.
class Random {
public:
  explicit Random(std::uint64_t aSeed) : FState(aSeed) {}
  std::uint64_t Next() {
    std::uint64_t z = (FState += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  std::uint64_t Below(std::uint64_t aBound) { return Next() % aBound; }
  bool OneIn(std::uint64_t aN) { return Below(aN) == 0; }
  template <class T, std::size_t N>
  const T& Pick(const std::array<T, N>& aItems) {
    return aItems[Below(N)];
  }

private:
  std::uint64_t FState;
};

// Writes compact JSON; string values are given already escaped, as they
// would stand in the text.
class Writer {
public:
  explicit Writer(std::size_t aReserve) { FOut.reserve(aReserve); }

  void BeginObject(std::string_view aKey = {}) { Open(aKey, '{'); }
  void EndObject() { Close('}'); }
  void BeginArray(std::string_view aKey = {}) { Open(aKey, '['); }
  void EndArray() { Close(']'); }

  void String(std::string_view aKey, std::string_view aEscaped) {
    Key(aKey);
    FOut += '"';
    FOut += aEscaped;
    FOut += '"';
  }
  void Raw(std::string_view aKey, std::string_view aLiteral) {
    Key(aKey);
    FOut += aLiteral;
  }
  void Integer(std::string_view aKey, std::int64_t aValue) { Raw(aKey, std::to_string(aValue)); }
  // aUnits / 10^aDecimals, written with exactly aDecimals digits.
  void Decimal(std::string_view aKey, std::int64_t aUnits, int aDecimals, bool aQuoted) {
    const std::string text = DecimalText(aUnits, aDecimals);
    if (aQuoted)
      String(aKey, text);
    else
      Raw(aKey, text);
  }
  void Boolean(std::string_view aKey, bool aValue) { Raw(aKey, aValue ? "true" : "false"); }
  void Null(std::string_view aKey) { Raw(aKey, "null"); }

  std::size_t Size() const { return FOut.size(); }
  std::string Take() { return std::move(FOut); }

  static std::string DecimalText(std::int64_t aUnits, int aDecimals) {
    std::uint64_t scale = 1;
    for (int i = 0; i < aDecimals; ++i) scale *= 10;
    const bool negative = aUnits < 0;
    const std::uint64_t magnitude = negative ? std::uint64_t(0) - std::uint64_t(aUnits) : std::uint64_t(aUnits);
    char buf[48];
    if (aDecimals == 0)
      std::snprintf(buf, sizeof buf, "%s%llu", negative ? "-" : "", (unsigned long long)magnitude);
    else
      std::snprintf(buf, sizeof buf, "%s%llu.%0*llu", negative ? "-" : "", (unsigned long long)(magnitude / scale),
                    aDecimals, (unsigned long long)(magnitude % scale));
    return buf;
  }

private:
  // Array elements have no key; a member's key is written before its value.
  void Key(std::string_view aKey) {
    if (FNeedComma) FOut += ',';
    FNeedComma = true;
    if (!aKey.empty()) {
      FOut += '"';
      FOut += aKey;
      FOut += "\":";
    }
  }
  void Open(std::string_view aKey, char aBracket) {
    Key(aKey);
    FOut += aBracket;
    FNeedComma = false;
  }
  void Close(char aBracket) {
    FOut += aBracket;
    FNeedComma = true;
  }

  std::string FOut;
  bool FNeedComma = false;
};

constexpr std::array<std::string_view, 16> kCoins = {"BTC",  "ETH",  "XRP", "LTC", "ADA",  "SOL",  "DOT", "DOGE",
                                                     "AVAX", "LINK", "XLM", "TRX", "ATOM", "NEAR", "FIL", "ALGO"};
constexpr std::array<std::string_view, 4> kQuotes = {"USDT", "BTC", "EUR", "USDC"};
constexpr std::array<std::string_view, 6> kExchanges = {"binance", "kraken", "kucoin", "bitvavo", "coinbase", "okx"};
// Labels as a service sends them: mostly plain, some with escaped quotes,
// backslashes and \u escapes.
constexpr std::array<std::string_view, 8> kLabels = {
    R"(Main account)",          R"(Caf\u00e9 \"night\" shift)",
    R"(path C:\\bots\\hopper)", R"(DCA \u00e9t\u00e9 2024)",
    R"(tp\/sl ladder)",         R"(scalper)",
    R"(said \"hold\")",         R"(grid \\ 2)",
};

std::string Pair(Random& aRandom) {
  std::string pair(aRandom.Pick(kCoins));
  pair += '/';
  pair += aRandom.Pick(kQuotes);
  return pair;
}

// Prices spread over several magnitudes so the digit counts vary.
std::int64_t PriceCents(Random& aRandom) {
  static constexpr std::array<std::int64_t, 5> kScale = {100, 10'000, 100'000, 1'000'000, 5'000'000};
  return 1 + std::int64_t(aRandom.Below(std::uint64_t(aRandom.Pick(kScale))));
}

void WriteTicker(Writer& w, Random& r, std::int64_t aTimestamp) {
  const std::int64_t last = PriceCents(r);
  w.BeginObject();
  w.String("currency_pair", Pair(r));
  w.Decimal("last", last, 2, true);
  w.Decimal("lowest_ask", last + std::int64_t(r.Below(50)), 2, true);
  w.Decimal("highest_bid", last > 50 ? last - std::int64_t(r.Below(50)) : last, 2, true);
  w.Decimal("high", last + std::int64_t(r.Below(1 + std::uint64_t(last / 10))), 2, true);
  w.Decimal("low", last - std::int64_t(r.Below(1 + std::uint64_t(last / 10))), 2, true);
  w.Decimal("volume", std::int64_t(r.Below(10'000'000'000ull)), 4, true);
  w.Decimal("change", std::int64_t(r.Below(2001)) - 1000, 2, false);
  w.Boolean("frozen", r.OneIn(50));
  w.Integer("timestamp", aTimestamp);
  if (r.OneIn(12)) w.String("label", r.Pick(kLabels));
  if (r.OneIn(20)) w.Null("note");
  w.EndObject();
}

void WriteOrder(Writer& w, Random& r, std::int64_t aId, std::int64_t aTimestamp) {
  static constexpr std::array<std::string_view, 4> kStatus = {"open", "filled", "cancelled", "partial"};
  static constexpr std::array<std::string_view, 4> kTags = {"dca", "tp", "sl", "signal"};
  const std::int64_t rate = PriceCents(r);
  w.BeginObject();
  w.String("id", "o-" + std::to_string(aId));
  w.String("pair", Pair(r));
  w.String("side", r.OneIn(2) ? "buy" : "sell");
  w.String("type", r.OneIn(4) ? "market" : "limit");
  w.String("status", r.Pick(kStatus));
  w.Decimal("amount", std::int64_t(r.Below(100'000'000'000ull)), 8, true);
  w.Decimal("rate", rate, 2, true);
  w.Decimal("filled", std::int64_t(r.Below(100'000'000ull)), 8, true);
  w.BeginObject("fee");
  w.String("currency", r.Pick(kQuotes));
  w.Decimal("cost", std::int64_t(r.Below(1'000'000)), 6, false);
  w.Raw("rate", r.OneIn(2) ? "1e-3" : "7.5E-4");
  w.EndObject();
  w.Integer("created", aTimestamp);
  if (r.OneIn(3))
    w.Decimal("trigger", rate + std::int64_t(r.Below(1000)), 2, true);
  else
    w.Null("trigger");
  w.BeginArray("trades");
  const std::uint64_t trades = r.Below(4);
  for (std::uint64_t t = 0; t < trades; ++t) {
    w.BeginObject();
    w.Integer("id", aId * 10 + std::int64_t(t));
    w.Decimal("amount", std::int64_t(r.Below(10'000'000)), 8, true);
    w.Decimal("rate", rate, 2, true);
    w.Integer("time", aTimestamp + std::int64_t(r.Below(3600)));
    w.Boolean("maker", r.OneIn(2));
    w.EndObject();
  }
  w.EndArray();
  w.BeginArray("tags");
  const std::uint64_t tags = r.Below(3);
  for (std::uint64_t t = 0; t < tags; ++t) w.String({}, r.Pick(kTags));
  w.EndArray();
  if (r.OneIn(6)) w.String("comment", r.Pick(kLabels));
  w.EndObject();
}

}  // namespace

std::string MakeHopperDocument() {
  Random r(0x484F50504552ull);
  Writer w(8 * 1024);
  w.BeginObject();
  w.BeginObject("data");
  w.BeginObject("hopper");
  w.String("id", "184467");
  w.String("name", R"(Caf\u00e9 \"Scalp\" hopper)");
  w.String("exchange", "binance");
  w.String("base_currency", "USDT");
  w.String("created", "2023-11-14 22:13:20");
  w.String("last_signal", "2024-02-01 08:00:00");
  w.Boolean("enabled", true);
  w.Boolean("paper_trading", false);
  w.Boolean("buying_enabled", true);
  w.Boolean("selling_enabled", true);
  w.Null("strategy_id");
  w.Null("template_id");
  w.Integer("error", 0);
  w.String("image", "https:\\/\\/example.invalid\\/images\\/hoppers\\/184467.png");
  w.String("description",
           R"(Buys dips on the majors and sells at \"take profit\" or on a trailing stop. )"
           R"(Keeps 25% of the balance in reserve; pauses when the spread is wide. )"
           R"(Keys live in C:\\keys\\main, reviewed monthly by the desk in Li\u00e8ge. )"
           R"(Sells are never placed below the average buy rate plus fees; DCA orders double the position at )"
           R"(most three times. When the 4h trend turns \"bearish\", buying stops until two green candles )"
           R"(close above the 50 EMA, and open positions move to a tighter trailing stop.)");
  w.String("webhook_url", "https:\\/\\/hooks.example.invalid\\/v1\\/signal\\/7f3a9c2e41b84d05a6e1c0d9b2f47e18");
  w.String("api_key_id", "ak_3f9d2c7b1e8a4f60b5d4c3a2e1f09876");
  w.String("telegram_chat", "-1001234567890");
  w.String("signaller_name", R"(Pro \"Momentum\" feed)");
  // The config block: what a settings page shows, many small members.
  static constexpr std::array<std::string_view, 20> kPercentSettings = {
      "take_profit",        "stop_loss_percentage", "trailing_stop_loss_percentage",
      "trailing_stop_arm",  "trailing_buy",         "min_buy_price",
      "max_buy_price",      "buy_order_percentage", "sell_order_percent",
      "auto_close_percent", "dca_percentage",       "dca_take_profit",
      "shorting_percent",   "percentage_range",     "max_spread",
      "min_volume_change",  "rsi_buy_level",        "rsi_sell_level",
      "bollinger_width",    "ema_cross_margin"};
  for (std::string_view key : kPercentSettings) w.Decimal(key, std::int64_t(r.Below(1'000'000'000)), 8, true);
  static constexpr std::array<std::string_view, 12> kIntegerSettings = {
      "max_open_positions", "max_open_time_buy", "max_open_time",  "dca_max_orders", "dca_timeout",  "cooldown_minutes",
      "candle_period",      "rsi_period",        "signal_timeout", "min_trades",     "max_per_coin", "order_timeout"};
  for (std::string_view key : kIntegerSettings) w.Integer(key, std::int64_t(r.Below(100'000)));
  static constexpr std::array<std::string_view, 10> kFlags = {
      "trailing_stop_loss", "auto_close",     "dca_enabled",    "shorting_enabled", "only_signals",
      "ignore_base",        "sell_on_signal", "one_open_order", "auto_merge",       "notify_telegram"};
  for (std::string_view key : kFlags) w.Boolean(key, r.OneIn(2));
  w.Decimal("buy_amount", 12'550, 2, false);
  w.Decimal("fee_rate", 75, 5, false);
  w.Raw("min_order_value", "1.0e1");
  w.Decimal("balance_reserve", -2'500, 2, false);
  w.Null("webhook_secret");
  w.Null("signaller");
  w.String("order_type", "limit");
  w.String("strategy_name", R"(RSI \\ EMA cross)");
  w.String("notes", R"(Started after the \"halving\" \u2014 review in March)");
  w.String("time_zone", "Europe\\/Amsterdam");
  // Strategies travel as JSON inside a string: escapes all the way.
  static constexpr std::array<std::string_view, 6> kIndicators = {"rsi", "ema", "sma", "macd", "bollinger", "stoch"};
  std::string strategy = R"({\"indicators\":[)";
  for (int i = 0; i < 18; ++i) {
    if (i) strategy += ',';
    strategy += R"({\"name\":\")" + std::string(r.Pick(kIndicators)) + R"(\",\"period\":)" +
                std::to_string(5 + r.Below(50)) + R"(,\"weight\":)" +
                Writer::DecimalText(std::int64_t(r.Below(100)), 2) + R"(,\"buy\":)" + std::to_string(r.Below(100)) +
                R"(,\"sell\":)" + std::to_string(r.Below(100)) + "}";
  }
  strategy += R"(],\"combine\":\"all\",\"timeframe\":\"15m\",\"label\":\"Caf\\u00e9 mix\"})";
  w.String("strategy_json", strategy);
  w.BeginArray("allowed_pairs");
  for (std::string_view coin : kCoins)
    for (std::string_view quote : kQuotes)
      if (coin != quote) w.String({}, std::string(coin) + "\\/" + std::string(quote));
  w.EndArray();
  w.BeginArray("take_profit_levels");
  for (int i = 1; i <= 12; ++i) w.Decimal({}, i * 75, 2, false);
  w.EndArray();
  w.BeginArray("blacklist");
  w.String({}, "LUNA");
  w.String({}, "FTT");
  w.EndArray();
  w.EndObject();
  w.EndObject();
  w.EndObject();
  return w.Take();
}

std::string MakeTickerDocument() {
  Random r(0x5449434B4552ull);
  constexpr std::size_t kTarget = 1'000'000;
  Writer w(kTarget + 4096);
  w.BeginArray();
  const std::int64_t timestamp = 1'700'000'000;
  // Bounded by count as well as size.
  for (int i = 0; i < 50'000 && w.Size() < kTarget; ++i) WriteTicker(w, r, timestamp + i);
  w.EndArray();
  return w.Take();
}

std::string MakeExportDocument() {
  Random r(0x4558504F5254ull);
  constexpr std::size_t kTarget = 10'000'000;
  Writer w(kTarget + 64 * 1024);
  w.BeginObject();
  w.BeginObject("data");
  w.Integer("generated", 1'700'000'000);
  w.String("account", R"(Caf\u00e9 \"desk\" \\ 7)");
  w.BeginArray("exchanges");
  std::int64_t order = 1'000'000;
  for (int e = 0; e < 1000 && w.Size() < kTarget; ++e) {
    const std::int64_t timestamp = 1'700'000'000 + e * 60;
    w.BeginObject();
    w.String("exchange", kExchanges[std::size_t(e) % kExchanges.size()]);
    w.Integer("updated", timestamp);
    w.Boolean("healthy", !r.OneIn(10));
    w.BeginArray("tickers");
    for (int i = 0; i < 150; ++i) WriteTicker(w, r, timestamp + i);
    w.EndArray();
    w.BeginArray("orders");
    for (int i = 0; i < 80; ++i) WriteOrder(w, r, order++, timestamp + i);
    w.EndArray();
    w.EndObject();
  }
  w.EndArray();
  w.EndObject();
  w.EndObject();
  return w.Take();
}

std::vector<Document> MakeDocuments() {
  std::vector<Document> docs;
  docs.push_back({"hopper", MakeHopperDocument()});
  docs.push_back({"tickers", MakeTickerDocument()});
  docs.push_back({"export", MakeExportDocument()});
  return docs;
}

}  // namespace bench
