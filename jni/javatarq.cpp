// Native methods of the Java class no.kelmo.javaTarq. Each one converts its arguments, prepares
// the display lines and side files, calls the driver's exported operation (which runs the whole
// exchange and calls the bridge's callbacks meanwhile) and copies the display lines and the
// call's first receipt into the calling object's String fields. Nothing here calls into Java
// while the driver runs.
#include "driver/request.h"
#include "jni/bridge.h"
#include "jni/charset.h"
#include "tarqdriver.h"

#include <jni.h>

#include <array>
#include <cstdio>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

using namespace tarq::javabridge;
using tarq::BLANK_DISPLAY_LINE;
using tarq::say;
using tarq::WipeAtExit;

namespace {

constexpr int FIELD_MISSING = 11;
constexpr int TYPE_WITHOUT_AMOUNT_CHECK = 5;

// A local reference that is deleted when it goes out of scope, so long calls made from a
// Java loop never fill the local reference table.
template <typename T> class LocalRef {
  public:
    LocalRef(JNIEnv* env, T ref) : env_(env), ref_(ref) {}
    LocalRef(const LocalRef&) = delete;
    LocalRef& operator=(const LocalRef&) = delete;
    ~LocalRef() {
        if (ref_ != nullptr) env_->DeleteLocalRef(ref_);
    }
    T get() const { return ref_; }

  private:
    JNIEnv* env_;
    T ref_;
};

// The modified UTF-8 bytes of a Java string, released when it goes out of scope. A null
// string reads as an empty text.
class StringChars {
  public:
    StringChars(JNIEnv* env, jstring str) : env_(env), str_(str) {
        if (str_ == nullptr) return;
        chars_ = env_->GetStringUTFChars(str_, nullptr);
        if (chars_ != nullptr) length_ = static_cast<std::size_t>(env_->GetStringUTFLength(str_));
    }
    StringChars(const StringChars&) = delete;
    StringChars& operator=(const StringChars&) = delete;
    ~StringChars() {
        if (chars_ != nullptr) env_->ReleaseStringUTFChars(str_, chars_);
    }
    // False when the JVM could not hand out the characters (an exception is pending).
    bool ok() const { return str_ == nullptr || chars_ != nullptr; }
    std::string_view view() const {
        return chars_ == nullptr ? std::string_view{} : std::string_view(chars_, length_);
    }

  private:
    JNIEnv* env_;
    jstring str_;
    const char* chars_ = nullptr;
    std::size_t length_ = 0;
};

// A driver text argument: the Java string in the terminal's character set, cut to the array
// and terminated.
template <std::size_t N> bool copyArgument(JNIEnv* env, jstring str, std::array<char, N>& dest) {
    StringChars chars(env, str);
    if (!chars.ok()) return false;
    modifiedUtf8ToCp1252(chars.view(), std::span<char>(dest));
    return true;
}

enum class Source { Line1, Line2, FirstReceipt };

struct Field {
    const char* name;
    Source source;
};

const char* sourceText(Source source) {
    switch (source) {
    case Source::Line1:
        return bridge.bridgeLine1.data();
    case Source::Line2:
        return bridge.bridgeLine2.data();
    case Source::FirstReceipt:
        return bridge.receiptCopies[0].data();
    }
    return "";
}

// Sets the listed String fields of the calling object, in order, from the bridge's texts
// (converted from the terminal's character set). False at the first field the object's class
// lacks (with the lookup error cleared so the caller sees the result code) or at a JVM failure
// (with its exception left pending).
bool setFields(JNIEnv* env, jobject self, std::initializer_list<Field> fields) {
    LocalRef<jclass> cls(env, env->GetObjectClass(self));
    if (cls.get() == nullptr) return false;
    for (const Field& field : fields) {
        jfieldID id = env->GetFieldID(cls.get(), field.name, "Ljava/lang/String;");
        if (id == nullptr) {
            env->ExceptionClear();
            return false;
        }
        const std::string text = cp1252ToModifiedUtf8(sourceText(field.source));
        LocalRef<jstring> value(env, env->NewStringUTF(text.c_str()));
        if (value.get() == nullptr) return false;
        env->SetObjectField(self, id, value.get());
        if (env->ExceptionCheck()) return false;
    }
    return true;
}

// 0 when the amount may go to the driver, else the refusal (its line already printed).
int amountCheck(int transactionType, int amount) {
    if (transactionType == TYPE_WITHOUT_AMOUNT_CHECK) return 0;
    if (amount > TRQ_MAX_AMOUNT) {
        say("    MAX_Amount : %d\n", TRQ_MAX_AMOUNT);
        return TRQ_AMOUNT_TOO_HIGH;
    }
    if (amount < TRQ_MIN_AMOUNT) {
        say("    MIN_Amount : %d\n", TRQ_MIN_AMOUNT);
        return TRQ_AMOUNT_TOO_LOW;
    }
    return 0;
}

// Runs a native method's body with nothing escaping into the JVM: native and Java output
// share one file descriptor, so stdout is flushed before Java writes again; a C++ exception
// becomes a Java Error.
template <typename Body> jint guarded(JNIEnv* env, Body body) noexcept {
    jint result = 0;
    try {
        result = body();
    } catch (...) {
        if (!env->ExceptionCheck()) {
            LocalRef<jclass> error(env, env->FindClass("java/lang/Error"));
            if (error.get() != nullptr) env->ThrowNew(error.get(), "tarqdriver: internal error");
        }
    }
    std::fflush(stdout);
    return result;
}

// Finishes a method whose field list comes after the driver call: the driver's result, or 11
// when a field could not be set (the later steps skipped; after a JVM failure its exception is
// pending and Java never sees the result).
template <typename After>
jint finish(JNIEnv* env, jobject self, int result, std::initializer_list<Field> fields,
            After after) {
    if (!setFields(env, self, fields)) return FIELD_MISSING;
    after();
    return result;
}

jint finish(JNIEnv* env, jobject self, int result, std::initializer_list<Field> fields) {
    return finish(env, self, result, fields, [] {});
}

// The report methods: printed line, display text, receipt reset, driver call, fields.
template <typename Call>
jint report(JNIEnv* env, jobject self, const char* printed, std::string_view line1,
            bool displayFile, Call call, std::initializer_list<Field> fields) {
    say("%s", printed);
    setLines(line1, BLANK_DISPLAY_LINE);
    if (displayFile) writeDisplayFile();
    receiptReset();
    const int result = call();
    return finish(env, self, result, fields);
}

// Java's char for the merchant indicator: the driver takes its low byte.
char merchantByte(jchar merchIn) {
    return static_cast<char>(merchIn & 0xFF);
}

constexpr Field kLine1{"displayline1", Source::Line1};
constexpr Field kLine2{"displayline2", Source::Line2};
constexpr Field kReceipt{"printTxtJ", Source::FirstReceipt};

} // namespace

extern "C" {

JNIEXPORT jint JNICALL Java_no_kelmo_javaTarq_SetTrqPath(JNIEnv* env, jobject, jstring path) {
    return guarded(env, [&]() -> jint {
        StringChars chars(env, path);
        if (!chars.ok()) return 0;
        std::string utf8;
        if (!modifiedUtf8ToUtf8(chars.view(), utf8)) return SET_PATH_REFUSED;
        return setTrqPath(utf8);
    });
}

JNIEXPORT jint JNICALL Java_no_kelmo_javaTarq_trqInitCallback(JNIEnv* env, jobject) {
    return guarded(env, [&]() -> jint {
        bridge.abortRequested = 0;
        trqInitCallback(TRQ_CB_PRINT_RECEIPT, reinterpret_cast<void*>(&printReceipt));
        trqInitCallback(TRQ_CB_DISPLAY_STATUS, reinterpret_cast<void*>(&displayStatusCallback));
        trqInitCallback(TRQ_CB_SET_CARDDATA, reinterpret_cast<void*>(&setCarddata));
        trqInitCallback(TRQ_CB_ABORT_QUERY, reinterpret_cast<void*>(&abortTransaction));
        return 0;
    });
}

JNIEXPORT jint JNICALL Java_no_kelmo_javaTarq_trqOpenRS232(JNIEnv* env, jobject) {
    return guarded(env, [&]() -> jint {
        const int result = trqOpenRS232();
        setLines("\xC5PNER RS232....     ", BLANK_DISPLAY_LINE);
        writeDisplayFile();
        return result;
    });
}

JNIEXPORT jint JNICALL Java_no_kelmo_javaTarq_trqOpen(JNIEnv* env, jobject, jstring, jshort port) {
    return guarded(env, [&]() -> jint {
        // The driver never reads the address (the line is configured in tarqRS.ini), so the
        // String is not converted at all.
        const int result = trqOpen("", static_cast<unsigned short>(port));
        setLines("STARTER...", BLANK_DISPLAY_LINE);
        writeDisplayFile();
        return result;
    });
}

JNIEXPORT jint JNICALL Java_no_kelmo_javaTarq_trqTestConnection(JNIEnv* env, jobject self) {
    return guarded(env, [&]() -> jint {
        say("C:trqTestConnection\n");
        const int result = trqTestConnection();
        receiptReset();
        return finish(env, self, result, {kLine1, kLine2});
    });
}

JNIEXPORT jint JNICALL Java_no_kelmo_javaTarq_trqCardTransaction(JNIEnv* env, jobject self,
                                                                 jint transactionType, jint amount,
                                                                 jint currencyCode, jchar merchIn,
                                                                 jint confirmExtCard) {
    return guarded(env, [&]() -> jint {
        writeIssuerFile(0);
        std::array<char, 32> line{};
        std::snprintf(line.data(), line.size(), "Purchase DK %d",
                      static_cast<int>(transactionType));
        setLines(line.data(), BLANK_DISPLAY_LINE);
        writeDisplayFile();
        receiptReset();
        say("Cj:trqCardTransaction %d\n", static_cast<int>(amount));
        if (const int refused = amountCheck(transactionType, amount)) return refused;
        const int result = trqCardTransaction(transactionType, amount, currencyCode,
                                              merchantByte(merchIn), confirmExtCard);
        return finish(env, self, result, {kLine2, kReceipt}, [] { writeIssuerFile(1); });
    });
}

JNIEXPORT jint JNICALL Java_no_kelmo_javaTarq_trqNorCardTransaction(
    JNIEnv* env, jobject self, jint transactionType, jint amount, jint currencyCode, jchar merchIn,
    jint confirmExtCard, jint purchaseAmount, jint, jint) {
    return guarded(env, [&]() -> jint {
        writeIssuerFile(0);
        setLines(BLANK_DISPLAY_LINE, BLANK_DISPLAY_LINE);
        receiptReset();
        say("Cj:trqNorCardTransaction %d\n", static_cast<int>(amount));
        if (const int refused = amountCheck(transactionType, amount)) return refused;
        const int result =
            trqNorCardTransaction(transactionType, amount, currencyCode, merchantByte(merchIn),
                                  confirmExtCard, purchaseAmount, "", "");
        return finish(env, self, result, {kLine1, kLine2, kReceipt}, [] { writeIssuerFile(1); });
    });
}

JNIEXPORT jint JNICALL Java_no_kelmo_javaTarq_trqNorTransaction(
    JNIEnv* env, jobject self, jint transactionType, jint amount, jint currencyCode, jchar merchIn,
    jint confirmExtCard, jint purchaseAmount, jstring posData, jstring dataToHost, jint multiID,
    jint secondNumber, jstring cardNo, jstring expDate, jstring cvc) {
    return guarded(env, [&]() -> jint {
        writeIssuerFile(0);
        say("Cj:trqNorTransaction %d\n", static_cast<int>(amount));
        // Each text is cut to the width of its field in the payment request.
        std::array<char, 4 + 1> pos{};
        std::array<char, 40 + 1> host{};
        std::array<char, 19 + 1> card{};
        std::array<char, 4 + 1> exp{};
        std::array<char, 3 + 1> code{};
        // The card data does not outlive the call in this frame either.
        const WipeAtExit wipeCard(card.data(), card.size()), wipeExp(exp.data(), exp.size()),
            wipeCode(code.data(), code.size());
        if (!copyArgument(env, posData, pos) || !copyArgument(env, dataToHost, host) ||
            !copyArgument(env, cardNo, card) || !copyArgument(env, expDate, exp) ||
            !copyArgument(env, cvc, code)) {
            return 0;
        }
        setLines(BLANK_DISPLAY_LINE, BLANK_DISPLAY_LINE);
        receiptReset();
        if (const int refused = amountCheck(transactionType, amount)) return refused;
        const int result =
            trqNorTransaction(transactionType, amount, currencyCode, merchantByte(merchIn),
                              confirmExtCard, purchaseAmount, pos.data(), host.data(), multiID,
                              secondNumber, card.data(), exp.data(), code.data());
        return finish(env, self, result, {kLine1, kLine2, kReceipt}, [] { writeIssuerFile(1); });
    });
}

JNIEXPORT jint JNICALL Java_no_kelmo_javaTarq_trqNorAdmin(JNIEnv* env, jobject self, jint code,
                                                          jint value2, jint value3) {
    return guarded(env, [&]() -> jint {
        return report(env, self, "", "ADMIN", true,
                      [&] { return trqNorAdmin(code, value2, value3); }, {kReceipt, kLine2});
    });
}

JNIEXPORT jint JNICALL Java_no_kelmo_javaTarq_trqLastReceipt(JNIEnv* env, jobject self) {
    return guarded(env, [&]() -> jint {
        return report(env, self, "C:trqLastReceipt\n", "HENTER KOPI", true, trqLastReceipt,
                      {kReceipt, kLine2});
    });
}

JNIEXPORT jint JNICALL Java_no_kelmo_javaTarq_trqEndOfDay(JNIEnv* env, jobject self) {
    return guarded(env, [&]() -> jint {
        return report(env, self, "C:trqEndOfDay\n", "AVSTEMMING", true, trqEndOfDay,
                      {kReceipt, kLine2});
    });
}

JNIEXPORT jint JNICALL Java_no_kelmo_javaTarq_trqTotalReport(JNIEnv* env, jobject self) {
    return guarded(env, [&]() -> jint {
        return report(env, self, "C:trqTotalReport\n", "TOTALRAPPORT", true, trqTotalReport,
                      {kReceipt, kLine2});
    });
}

JNIEXPORT jint JNICALL Java_no_kelmo_javaTarq_trqLog(JNIEnv* env, jobject self) {
    return guarded(env, [&]() -> jint {
        return report(env, self, "C:trqLog\n", "DETALJ-RAPPORT", true, trqLog, {});
    });
}

JNIEXPORT jint JNICALL Java_no_kelmo_javaTarq_trqLastEndOfDayReport(JNIEnv* env, jobject self) {
    return guarded(env, [&]() -> jint {
        return report(env, self, "C:trqLastEndOfDayReport \n", "KOPI AVSTEMMING", true,
                      trqLastEndOfDayReport, {kReceipt, kLine2});
    });
}

JNIEXPORT jint JNICALL Java_no_kelmo_javaTarq_trqParameterReport(JNIEnv* env, jobject self) {
    return guarded(env, [&]() -> jint {
        return report(env, self, "C:trqParameterReport\n", "PARAMETER-RAPPORT", false,
                      trqParameterReport, {kReceipt, kLine2});
    });
}

JNIEXPORT jint JNICALL Java_no_kelmo_javaTarq_trqTermReport(JNIEnv* env, jobject self) {
    return guarded(env, [&]() -> jint {
        return report(env, self, "C:trqTermReport\n", "SYSTEMRAPPORT", true, trqTermReport,
                      {kReceipt, kLine2});
    });
}

JNIEXPORT jint JNICALL Java_no_kelmo_javaTarq_trqClockSyncHost(JNIEnv* env, jobject self) {
    return guarded(env, [&]() -> jint {
        setLines("TEST MOT BBS", "CLOCK SYNC");
        writeDisplayFile();
        receiptReset();
        const int result = trqClockSyncHost();
        return finish(env, self, result, {kLine1, kLine2});
    });
}

JNIEXPORT jint JNICALL Java_no_kelmo_javaTarq_trqRestartTerm(JNIEnv* env, jobject) {
    return guarded(env, [&]() -> jint {
        setLines("RESTARTER TERMINAL", BLANK_DISPLAY_LINE);
        writeDisplayFile();
        say("C:RestartTerm\n");
        return trqRestartTerm();
    });
}

JNIEXPORT jint JNICALL Java_no_kelmo_javaTarq_trqCloseRS232(JNIEnv* env, jobject) {
    return guarded(env, [&]() -> jint {
        const int result = trqCloseRS232();
        setLines("TERMINAL STENGT", BLANK_DISPLAY_LINE);
        writeDisplayFile();
        return result;
    });
}

JNIEXPORT jint JNICALL Java_no_kelmo_javaTarq_trqClose(JNIEnv* env, jobject, jint reason) {
    return guarded(env, [&]() -> jint {
        const int result = trqClose(reason);
        setLines("TERMINAL STENGT", BLANK_DISPLAY_LINE);
        writeDisplayFile();
        return result;
    });
}

} // extern "C"
