#pragma once

#include "config/moduleconfig.h"
#include "config/readback.h"
#include "module/pause.h"
#include "receive/rxdispatcher.h"
#include "serial/mscomm.h"

#include <QElapsedTimer>
#include <QObject>

#include <functional>
#include <optional>

class QEventLoop;

namespace korva
{

// What a configuration read brought back.
struct ReadResult {
    enum class Outcome {
        Answered, // a burst was decoded (it may be short: see block)
        NoAnswer, // nothing came within the time allowed
        PortLost, // the device failed during the read
        Stopped,  // a stop was requested before the answer came
    };
    Outcome outcome = Outcome::NoAnswer;
    QByteArray block; // the bytes of the decoded burst, at most 15
    ConfigTexts texts;
};

// What a Set brought about: the packet it wrote (empty when a value was refused,
// the sequence ended before it or the device did not take it whole) and the
// read-back that followed.
struct WriteResult {
    std::optional<EncodeFailure> refused;
    QByteArray packet;
    ReadResult readBack;
    // The fields the read-back showed different from the packet; nothing when
    // no packet was written or its read-back was not decoded.
    std::optional<QList<FieldMismatch>> mismatches;
};

// What a poll brought: the answer to its "+++" and, when the decision asked for
// a write, the Set that went on from that "+++".
struct PollResult {
    ReadResult found;
    std::optional<WriteResult> written;
};

// Asked once a poll's answer holds a whole block, while the module waits in
// command mode: true to write the texts of the engine's source over it.
using PollDecision = std::function<bool(const ReadResult &found)>;

// The operations that talk to the module: the configuration request, Set, their
// pauses and flags, decoding at the end of a burst, the re-entry guard and the
// hang-up handling. Widget-free: it is fed field texts through a source and
// reports status texts, decoded texts and failures by signal, so the window and
// the command-line program drive the module in exactly the same way.
class ModuleEngine : public QObject
{
    Q_OBJECT
public:
    explicit ModuleEngine(QObject *parent = nullptr);
    ~ModuleEngine() override;

    MSComm &port() { return m_MSComm1; }
    RxDispatcher &receiver() { return m_receiver; }
    bool operationRunning() const { return m_operationRunning; }
    bool configExpected() const { return m_configExpected; }
    void setConfigExpected(bool expected) { m_configExpected = expected; }
    Channel channel() const { return m_channel; }
    bool portLost() const { return m_portLost; }

    // Where Set reads the texts to write and the decoder the band; both are
    // asked at the moment they are needed, not when the operation starts.
    void setTextsSource(std::function<ConfigTexts()> source) { m_textsSource = std::move(source); }
    void setBandSource(std::function<QString()> source) { m_bandSource = std::move(source); }
    // The texts Set takes for a list field: the entries only (the window), or
    // also a raw code such as "0x16" (korva-cli, which writes back what it read).
    void setCodeForms(CodeForms forms) { m_codeForms = forms; }

    // Marks one module operation (which may run several steps) for its lifetime;
    // while it runs, operationRunning() tells callers to start nothing else.
    class Operation
    {
    public:
        explicit Operation(ModuleEngine &engine);
        ~Operation();
        Operation(const Operation &) = delete;
        Operation &operator=(const Operation &) = delete;

    private:
        ModuleEngine &m_engine;
    };

    // Opening the port, in the steps the window reports one by one: the line
    // rate (followed by ",n,8,1"), then the port by number or by device path.
    std::optional<PortFailure> setLineRate(const QString &rate);
    std::optional<PortFailure> openPort(const QString &number);
    std::optional<PortFailure> openDevice(const QString &path);
    void closePort();

    // Write "+++" and "---" when the port is open; nothing else. Both keep the
    // process-wide CommandModeGate up to date, so a suspension of the process
    // waits until the module is back in data mode.
    void EnterATMode();
    void CloseATMode();
    // Builds the packet from the texts of the moment and writes it; false when a
    // value was refused (packetRefused carries the message).
    bool SendConfigPacket();

    // The configuration request: placeholders, "+++", 0.1 s, "---", verdict.
    void requestConfiguration();
    // Set: "+++", 0.2 s, the packet, 0.2 s, "---", 0.5 s, then the request,
    // whose decoded answer is compared with the packet (readBackChecked).
    void sendConfiguration();

    // Runs the request as one operation and waits up to answerMs after it for
    // the answer to be decoded.
    ReadResult readConfiguration(int answerMs);
    // Runs Set as one operation and waits for its read-back as above.
    WriteResult writeConfiguration(int answerMs);
    // A request whose "+++" may be the first step of a Set, as one operation.
    // Its "+++" comes at least 0.1 s after the last "---". Once the answer holds
    // a whole block, `decide` is asked at once: on true the packet follows 0.2 s
    // after that "+++" (later only when the decision took longer) and Set goes
    // on to its read-back as writeConfiguration does; on false "---" follows as
    // in a request, and nothing else. Waits up to answerMs for each answer.
    PollResult pollConfiguration(int answerMs, const PollDecision &decide);

    // Ends every pause at once and every operation at its next step (the window
    // is closing).
    void abort();
    // Lets the running step and its pause finish, then ends the operation
    // before its next write; never cuts a pause short. A Set whose packet may
    // have left goes on through its read-back, so the module is judged.
    void requestStop();
    // A stop that will not wait for a read-back: ends a pause in data mode and
    // the wait for an answer at once; in command mode the pause under way ends
    // first, so the module tells the "---" that follows from the bytes before it.
    void stopNow();
    bool stopRequested() const { return m_stopRequested; }
    // "+++" was the last of the two command-mode strings written.
    bool inCommandMode() const { return m_inCommandMode; }

signals:
    void statusChanged(const QString &text);
    // An operation began (true) or ended (false): the busy pointer.
    void busyChanged(bool busy);
    // A request began: every field goes back to the placeholder.
    void requestStarted();
    // The end of a burst was decoded as a configuration.
    void configurationDecoded(const QByteArray &block, const korva::ConfigTexts &texts);
    void packetRefused(const korva::EncodeFailure &failure);
    // The read-back of a Set that wrote a packet was decoded and compared with
    // the packet: the fields that differ, none when the module took it all.
    void readBackChecked(const QList<korva::FieldMismatch> &mismatches);
    // An operation ended before its last step (port lost, abort or stop).
    void stoppedEarly();
    // The open port failed; it is already closed.
    void portFailed(const korva::PortFailure &failure);

private:
    // The request's pause between "+++" and "---", and the quiet a module needs
    // after "---" before it takes the next "+++".
    static constexpr int kRequestPauseMs = 100;
    static constexpr int kQuietAfterDataModeMs = 100;

    void onBurstEnded();
    void runRequest();
    void onPortFailed(const PortFailure &failure);
    void leaveCommandMode();
    QString band() const;
    // The port failed, the window is closing, or a stop came that spares no step.
    bool mustEnd() const;
    // Pauses while events run; false when the operation must end here (after a
    // stop, with the module back in data mode).
    bool pauseWithin(int ms);
    bool pauseSince(const QElapsedTimer &from, int ms);
    // Set from its first pause on, the "+++" written when `sinceEnter` started.
    void setFromPacket(const QElapsedTimer &sinceEnter);
    ReadResult awaitDecoded(int answerMs, int decodedBefore);
    // The Set just run, with its read-back as it is decoded.
    WriteResult collectWrite(int answerMs, int decodedBefore);
    // Waits for a poll's answer to hold a whole block; that block, or nothing
    // when the answer never began, ended short or the poll must end.
    QByteArray awaitBlock(const QElapsedTimer &sinceEnter, int answerMs);
    // "---" of a poll that writes nothing, 0.1 s after its "+++" at the soonest.
    void leavePoll(const QElapsedTimer &sinceEnter);
    // What a poll without a whole block brought: an answer that began is
    // waited for to its end; a module silent through the pause did not answer.
    ReadResult pollAnswer(int answerMs, int decodedBefore);

    MSComm m_MSComm1;
    RxDispatcher m_receiver;
    Pause m_pause;
    std::function<ConfigTexts()> m_textsSource;
    std::function<QString()> m_bandSource;

    CodeForms m_codeForms = CodeForms::ListOnly;
    bool m_configExpected = true;
    Channel m_channel;
    bool m_operationRunning = false;
    bool m_portLost = false;
    bool m_closing = false;
    bool m_stopRequested = false;
    bool m_stopNow = false;
    // A Set's packet may have left: a first stop lets its read-back finish.
    bool m_packetOut = false;
    bool m_inCommandMode = false;
    QElapsedTimer m_sinceDataMode; // since the last "---" was written

    int m_decodedCount = 0;
    QByteArray m_lastBlock;
    ConfigTexts m_lastTexts;
    QByteArray m_lastPacket;
    // The packet the coming read-back is checked against (empty: none).
    QByteArray m_verifyPacket;
    std::optional<QList<FieldMismatch>> m_lastMismatches;
    std::optional<EncodeFailure> m_lastRefusal;
    QEventLoop *m_answerLoop = nullptr;
};

} // namespace korva
