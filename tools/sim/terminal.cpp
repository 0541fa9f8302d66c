// The simulated terminal's dialogues: payments, administrative commands, aborts.
#include "tools/sim/terminal.h"

#include "protocol/tags.h"
#include "tarqdriver.h"

#include <algorithm>

namespace tarq::sim {
namespace {

constexpr int kWaitTimeoutMs = 30000; // an ECR that never answers a question

Element element(std::uint8_t tag, std::vector<std::uint8_t> value = {}) {
    return Element{tag, std::move(value)};
}

Element textElement(std::uint8_t tag, std::string_view text, std::size_t pad = 0) {
    std::vector<std::uint8_t> v(text.begin(), text.end());
    if (v.size() > pad && pad) v.resize(pad);
    while (v.size() < pad)
        v.push_back(' ');
    return element(tag, std::move(v));
}

Message statusMessage(std::string_view line1, std::string_view line2) {
    return {textElement(PTAG_STATUS1, line1, 20), textElement(PTAG_STATUS2, line2, 20)};
}

// The n-th value of a per-request list; the last one repeats.
int pick(const std::vector<int>& values, int n) {
    if (values.empty()) return 0;
    return values[std::min<std::size_t>(static_cast<std::size_t>(n), values.size() - 1)];
}

Message completion(int result, int issuer) {
    return {element(PTAG_TRANS_COMPLETED,
                    {static_cast<std::uint8_t>(result), static_cast<std::uint8_t>(issuer)})};
}

bool hasTag(const Message& m, std::uint8_t tag) {
    return std::any_of(m.begin(), m.end(), [&](const Element& e) { return e.tag == tag; });
}

std::uint32_t be32(const std::vector<std::uint8_t>& v, std::size_t at) {
    if (v.size() < at + 4) return 0;
    return std::uint32_t{v[at]} << 24 | std::uint32_t{v[at + 1]} << 16 |
           std::uint32_t{v[at + 2]} << 8 | v[at + 3];
}

std::string money(int currency, std::uint32_t minor) {
    const char* name = currency == 578   ? "NOK"
                       : currency == 752 ? "SEK"
                       : currency == 208 ? "DKK"
                       : currency == 978 ? "EUR"
                                         : nullptr;
    std::string code = name ? name : std::to_string(currency);
    return code + format(" %u,%02u", minor / 100, minor % 100);
}

} // namespace

Terminal::Terminal(PRS232_PORT* port, Config config, std::FILE* logOut)
    : cfg_(std::move(config)), log_(logOut), link_(port, cfg_, log_), stepReady_(Clock::now()),
      notReadyLeft_(cfg_.notReady) {}

void Terminal::setJournal(Journal* journal) {
    journal_ = journal;
    link_.setJournal(journal);
}

void Terminal::reconfigure(Config config) {
    std::lock_guard lock(pendingMutex_);
    pending_ = std::make_unique<Config>(std::move(config));
}

void Terminal::record(JournalEvent event) {
    if (journal_) journal_->add(std::move(event));
}

void Terminal::queueSend(Message message, int delayMs) {
    Step s{Step::Kind::Send, std::move(message), delayMs, {}, {}};
    script_.push_back(std::move(s));
}

void Terminal::queueWait(std::set<std::uint8_t> tags, std::function<void(const Message&)> then) {
    Step s{Step::Kind::Wait, {}, 0, std::move(tags), std::move(then)};
    script_.push_back(std::move(s));
}

bool Terminal::silent() {
    if (cfg_.silence == 0) return false;
    if (cfg_.silence > 0) --cfg_.silence;
    return true;
}

void Terminal::startPayment() {
    script_.clear();
    paymentActive_ = true;
    record({notReadyLeft_ > 0 ? JournalEvent::Kind::NotReady : JournalEvent::Kind::Payment, 0,
            requestSeq_});
    if (notReadyLeft_ > 0) {
        --notReadyLeft_;
        log_.note("terminal not ready");
        queueSend(completion(TRQ_TERM_NOT_READY, 0), cfg_.stepDelayMs);
        paymentActive_ = false;
        return;
    }
    if (cfg_.statusTexts.empty()) {
        queueSend(statusMessage("SETT INN KORT", ""), cfg_.stepDelayMs);
    } else {
        for (const auto& s : cfg_.statusTexts) {
            const auto bar = s.find('|');
            queueSend(
                statusMessage(s.substr(0, bar), bar == std::string::npos ? "" : s.substr(bar + 1)),
                cfg_.stepDelayMs);
        }
    }
    paymentResult_ = pick(cfg_.result, payments_++);
    std::vector<std::uint8_t> card(19, 0);
    std::copy_n(cfg_.card.begin(), std::min<std::size_t>(19, cfg_.card.size()), card.begin());
    const int t2 = cfg_.track2Length >= 0 ? cfg_.track2Length : static_cast<int>(cfg_.card.size());
    queueSend({element(PTAG_TERM_CARD, card),
               element(PTAG_TRACK2_LENGTH,
                       {static_cast<std::uint8_t>(t2 >> 8), static_cast<std::uint8_t>(t2 & 0xFF)})},
              cfg_.cardDelayMs);
    if (cfg_.terminalAbort) {
        queueSend(statusMessage("AVBRUTT", ""), cfg_.stepDelayMs);
        queueSend({element(PTAG_TERM_ABORT)}, cfg_.stepDelayMs);
        queueSend(completion(cfg_.abortResult, 0), cfg_.stepDelayMs);
        paymentActive_ = false;
        return;
    }
    queueWait({PTAG_NORTRANS, PTAG_NORTRANS_CARD},
              [this](const Message& m) { continueAfterPaymentRecord(m); });
}

void Terminal::continueAfterPaymentRecord(const Message& record) {
    for (const Element& e : record)
        if (e.tag == PTAG_NORTRANS || e.tag == PTAG_NORTRANS_CARD) amount_ = be32(e.value, 1);
    queueSend(statusMessage("BEL\xD8P " + money(currency_, amount_), "TAST PIN-KODE"),
              cfg_.stepDelayMs);
    queueSend(statusMessage("VENNLIGST VENT", "KONTAKTER BANK"), cfg_.stepDelayMs);
    if (extCardAsked_ || cfg_.extCard) {
        queueSend({element(PTAG_CONFIRM)}, cfg_.stepDelayMs);
        queueWait({PTAG_EXTPOSOK, PTAG_EXTPOSNOTOK}, [this](const Message& m) {
            if (hasTag(m, PTAG_EXTPOSNOTOK))
                abortPayment("card not confirmed by the ECR");
            else if (cfg_.signature) {
                queueSend({element(PTAG_VER_SIG)}, cfg_.stepDelayMs);
                queueWait({PTAG_VER_SIG_OK, PTAG_VER_SIG, PTAG_VER_SIG_NONE},
                          [this](const Message& s) { finishPayment(hasTag(s, PTAG_VER_SIG_OK)); });
            } else
                finishPayment(true);
        });
        return;
    }
    if (cfg_.signature) {
        queueSend({element(PTAG_VER_SIG)}, cfg_.stepDelayMs);
        queueWait({PTAG_VER_SIG_OK, PTAG_VER_SIG, PTAG_VER_SIG_NONE},
                  [this](const Message& s) { finishPayment(hasTag(s, PTAG_VER_SIG_OK)); });
        return;
    }
    finishPayment(true);
}

void Terminal::finishPayment(bool approved) {
    const int result = approved ? paymentResult_ : cfg_.abortResult;
    const bool ok = result == 0;
    queueSend(statusMessage(ok ? "GODKJENT" : "AVVIST", ""), cfg_.stepDelayMs);
    std::vector<std::string> texts = cfg_.receiptTexts;
    if (texts.empty()) {
        for (int i = 0; i < cfg_.receipts; ++i) {
            const char* copy = i == 0 ? "BRUKERSTEDETS KOPI" : i == 1 ? "KUNDENS KOPI" : "KOPI";
            std::string t = "      KORTTERMINAL\n  Storgata 1, 0155 OSLO\n\n";
            t += "KJ\xD8P      " + money(currency_, amount_) + "\n";
            t += "KORT  ************1234\nREF 000123   AUT 4711\n";
            t += ok ? std::string("GODKJENT\n") : format("AVVIST (%d)\n", result);
            t += std::string("\n") + copy + "\n";
            texts.push_back(t);
        }
    }
    for (std::size_t i = 0; i < texts.size(); ++i) {
        Message m;
        if (i + 1 == texts.size()) m.push_back(element(PTAG_LAST_RECEIPT));
        m.push_back(textElement(PTAG_TERM_RECEIPT, texts[i]));
        queueSend(std::move(m), cfg_.stepDelayMs);
        queueWait({PTAG_RECEIPTNUMBER}, nullptr);
    }
    queueSend(completion(result, ok ? cfg_.issuer : 0), cfg_.stepDelayMs);
    paymentActive_ = false;
}

void Terminal::abortPayment(const char* why) {
    log_.note(std::string("payment aborted: ") + why);
    script_.clear();
    queueSend(statusMessage("AVBRUTT", ""), cfg_.stepDelayMs);
    queueSend({element(PTAG_TERM_ABORT)}, cfg_.stepDelayMs);
    queueSend(completion(cfg_.abortResult, 0), cfg_.stepDelayMs);
    paymentActive_ = false;
}

void Terminal::startAdmin(int code) {
    script_.clear();
    record({JournalEvent::Kind::Admin, code, requestSeq_});
    if (code == TRQ_ADMIN_RESTART) {
        log_.note("restart requested");
        return;
    }
    const char* title = code == 1    ? "TERMINALRAPPORT"
                        : code == 2  ? "AVSTEMMING"
                        : code == 15 ? "SISTE KVITTERING"
                        : code == 23 ? "TOTALRAPPORT"
                        : code == 25 ? "SISTE AVSTEMMING"
                        : code == 26 ? "PARAMETERRAPPORT"
                                     : "ADMINISTRASJON";
    queueSend(statusMessage(title, "VENNLIGST VENT"), cfg_.stepDelayMs);
    for (int i = 0; i < cfg_.adminReceipts; ++i) {
        Message m;
        if (i + 1 == cfg_.adminReceipts) m.push_back(element(PTAG_LAST_RECEIPT));
        m.push_back(textElement(PTAG_TERM_RECEIPT,
                                format("%s\nKOMMANDO %d\nSIDE %d\n", title, code, i + 1)));
        queueSend(std::move(m), cfg_.stepDelayMs);
        queueWait({PTAG_RECEIPTNUMBER}, nullptr);
    }
    Message end;
    const int issuer = pick(cfg_.adminIssuer, commands_);
    const int result = pick(cfg_.adminResult, commands_);
    ++commands_;
    if (issuer >= 0) end.push_back(element(PTAG_ISSUERID, {static_cast<std::uint8_t>(issuer)}));
    end.push_back(element(PTAG_TERM_IDLE, {static_cast<std::uint8_t>(result)}));
    queueSend(std::move(end), cfg_.stepDelayMs);
}

void Terminal::handleMessage(const Message& m) {
    if (!script_.empty() && script_.front().kind == Step::Kind::Wait) {
        Step& w = script_.front();
        if (std::any_of(m.begin(), m.end(),
                        [&](const Element& e) { return w.tags.count(e.tag); })) {
            auto then = std::move(w.then);
            script_.pop_front();
            stepReady_ = Clock::now();
            if (then) {
                // Steps the continuation adds belong before whatever was still queued.
                std::deque<Step> rest;
                rest.swap(script_);
                then(m);
                for (auto& s : rest)
                    script_.push_back(std::move(s));
            }
            return;
        }
    }
    for (const Element& e : m) {
        switch (e.tag) {
        case PTAG_TERM_OPEN:
            log_.note("connection opened");
            break;
        case PTAG_TERM_CLOSE:
            log_.note("connection closed");
            script_.clear();
            closed_ = true;
            closedAt_ = Clock::now();
            break;
        case PTAG_CONFIRMEEXTCARD:
            extCardAsked_ = true;
            break;
        case PTAG_MI:
            break;
        case PTAG_CURRENCYCODE:
            currency_ = e.value.size() >= 2 ? e.value[0] << 8 | e.value[1] : 0;
            if (silent())
                log_.note("silent: payment request not answered");
            else
                startPayment();
            break;
        case PTAG_ADMIN: {
            const int code = e.value.size() >= 2 ? e.value[0] << 8 | e.value[1] : -1;
            if (silent())
                log_.note("silent: command not answered");
            else
                startAdmin(code);
            break;
        }
        case PTAG_TERM_ABORT:
            if (paymentActive_ || !script_.empty()) abortPayment("by the ECR");
            break;
        default:
            break;
        }
    }
    stepReady_ = Clock::now();
}

void Terminal::runDueStep() {
    Step& s = script_.front();
    if (s.kind == Step::Kind::Wait) {
        if (Clock::now() - waitSince_ > std::chrono::milliseconds(kWaitTimeoutMs)) {
            log_.note("the ECR did not answer; dialogue dropped");
            script_.clear();
            paymentActive_ = false;
        }
        return;
    }
    Message m = std::move(s.message);
    script_.pop_front();
    const bool delivered = link_.sendMessage(m);
    for (const Element& e : m) {
        if (e.tag == PTAG_TERM_RECEIPT)
            record({JournalEvent::Kind::Receipt, 0, 0, delivered,
                    std::string(e.value.begin(), e.value.end())});
        if ((e.tag == PTAG_TRANS_COMPLETED || e.tag == PTAG_TERM_IDLE) && !e.value.empty())
            record({JournalEvent::Kind::Result, e.value[0], 0, delivered});
    }
    stepReady_ = Clock::now();
    waitSince_ = stepReady_;
}

void Terminal::run(const std::atomic<bool>& stop) {
    log_.note("terminal ready");
    while (!stop.load()) {
        if (script_.empty() && !paymentActive_) {
            std::lock_guard lock(pendingMutex_);
            if (pending_) {
                cfg_ = std::move(*pending_);
                pending_.reset();
                notReadyLeft_ = cfg_.notReady;
                payments_ = commands_ = 0;
                extCardAsked_ = false;
            }
        }
        idle_.store(script_.empty() && !paymentActive_);
        if (Message m; link_.nextMessage(m, &requestSeq_)) {
            handleMessage(m);
            continue;
        }
        // Linger a little after the close, so the ECR has read our acknowledgement before the
        // line goes away.
        if (closed_ && cfg_.exitOnClose &&
            Clock::now() - closedAt_ > std::chrono::milliseconds(500))
            break;
        if (!script_.empty()) {
            const Step& s = script_.front();
            if (s.kind == Step::Kind::Wait ||
                Clock::now() >= stepReady_ + std::chrono::milliseconds(s.delayMs)) {
                if (s.kind == Step::Kind::Send) {
                    runDueStep();
                    continue;
                }
                runDueStep();
            }
        }
        link_.poll();
    }
    log_.note("terminal stopped");
}

} // namespace tarq::sim
