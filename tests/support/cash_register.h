// The till's callbacks, what they saw and answer: in process (storeCallback) or loaded library.
#pragma once

#include "tarqdriver.h"

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace tarq::test {

struct CashRegister {
    using Lines = std::pair<std::string, std::string>;
    std::vector<Lines> displays;
    std::vector<std::string> receipts, cards;
    std::vector<int> segments; // of each receipt: 1 while more follow, 0 for the last
    int cardAnswer = 1, extCardAnswer = 1, verSigAnswer = 1, printAnswer = 1;
    std::function<int(int)> abortAnswer = never; // by call number, from 1
    int abortCalls = 0, abortedAtCall = 0, extCardCalls = 0, verSigCalls = 0, adviceCalls = 0;

    static inline CashRegister* active = nullptr;
    static int never(int) { return 0; }

    // Registers every callback through reg(kind, routine); this recorder receives the calls.
    template <class Register> void registerWith(Register reg) {
        active = this;
        const auto set = [&](int kind, auto fn) { reg(kind, reinterpret_cast<void*>(+fn)); };
        set(TRQ_CB_SET_CARDDATA, [](const char* t) {
            active->cards.emplace_back(t);
            return active->cardAnswer;
        });
        set(TRQ_CB_PRINT_RECEIPT, [](int segment, const char* t) {
            active->segments.push_back(segment);
            active->receipts.emplace_back(t);
            return active->printAnswer;
        });
        set(TRQ_CB_DISPLAY_STATUS,
            [](const char* l1, const char* l2) { active->displays.emplace_back(l1, l2); });
        set(TRQ_CB_ABORT_QUERY, [] {
            CashRegister& r = *active;
            const int answer = r.abortAnswer(++r.abortCalls);
            if (answer && !r.abortedAtCall) r.abortedAtCall = r.abortCalls;
            return answer;
        });
        set(TRQ_CB_EXT_CARD_CONFIRM, [] { return ++active->extCardCalls, active->extCardAnswer; });
        set(TRQ_CB_VERSIG_CONFIRM, [] { return ++active->verSigCalls, active->verSigAnswer; });
        set(TRQ_CB_ADVICE_FLAG, [] { ++active->adviceCalls; });
    }

    // Answers yes to the abort question once, when cond first holds; no before and after.
    void abortOnceWhen(std::function<bool()> cond) {
        abortAnswer = [this, cond](int) { return !abortedAtCall && cond() ? 1 : 0; };
    }
    bool displayed(const std::string& line1Prefix) const {
        for (const auto& [l1, l2] : displays)
            if (l1.rfind(line1Prefix, 0) == 0) return true;
        return false;
    }
    Lines lastDisplay() const { return displays.empty() ? Lines{} : displays.back(); }
    // Forgets what was seen and the abort answer; the other answers stay.
    void clearSeen() {
        displays.clear();
        receipts.clear();
        cards.clear();
        segments.clear();
        abortAnswer = never;
        abortCalls = abortedAtCall = extCardCalls = verSigCalls = adviceCalls = 0;
    }
};

} // namespace tarq::test
