// velk-pbx-sim: plays the PBX side of the billing link for VELK and its tests, over TCP or on a
// serial device.
//
// Over TCP it listens on 127.0.0.1; with --serial it opens the given device (for example one end
// of a pseudo-terminal pair) and paces what it sends at the chosen baud rate, 10 bits a character,
// as a serial line would. It answers each ENQ with the next billing message as a frame (over TCP
// with its 2-byte length prefix) or NAK when it has none, sends EOT after ACK and sends the frame
// again after NAK. It prints one line per message the collector acknowledged:
// "delivered <n> <message text>", with "duplicate" before the text when the message was
// deliberately sent a second time.
//
// With --kill-after-ack it plays a crash: right after the ACK of every n-th call record it kills
// the collector (SIGKILL; the process named in a pid file, checked to be a VELK program) instead
// of sending EOT. The record counts as delivered, as it does for a PBX once it has the ACK.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QSaveFile>
#include <QSerialPort>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <algorithm>
#include <deque>
#include <fstream>
#include <string>

#include "record_generator.h"

namespace {

constexpr char kEnq = 0x05, kAck = 0x06, kNak = 0x15, kEot = 0x04;

struct Options {
    quint16 port = 6013;
    long count = 0;  // call records to deliver; 0 = no end
    double rate = 3.0;
    long trafficEvery = 20;
    quint32 seed = 1;
    QString replay;
    long badBccEvery = 0;
    bool split = false;
    long duplicateEvery = 0;
    long skipEvery = 0;
    long silenceEvery = 0;
    long silencePolls = 0;
    long dropAfter = 0;
    long closeAfterAck = 0;
    bool resendUnconfirmed = false;
    long killAfterAck = 0;
    QString killPidFile;
    int systemType = 0;
    bool exitWhenDone = false;
    QString serial;  // a serial device instead of TCP
    qint32 baud = 9600;
    bool now = false;  // calls that end now, instead of a fixed day
    QString state;     // where the last sequence number is kept from one run to the next
};

struct Message {
    std::string text;
    bool call = false;
    bool badFirstTry = false;
    bool sendTwice = false;
    int tries = 0;
};

class PbxSimulator : public QObject {
public:
    explicit PbxSimulator(Options o) : options_(std::move(o)), generator_(options_.seed) {
        generator_.SetSkipEvery(static_cast<uint32_t>(std::max(0L, options_.skipEvery)));
        if (options_.now)
            generator_.UseClock([] { return std::time(nullptr); });
        if (!options_.state.isEmpty()) {
            QFile kept(options_.state);
            if (kept.open(QIODevice::ReadOnly))
                generator_.ContinueAfter(QString::fromLatin1(kept.readAll()).trimmed().toUInt());
        }
        if (!options_.replay.isEmpty()) {
            for (auto& text : velk::sim::ReadRawFile(options_.replay.toStdString())) {
                replay_.push_back(std::move(text));
            }
        }
        connect(&server_, &QTcpServer::newConnection, this, &PbxSimulator::OnConnection);
        started_.start();
    }

    bool Listen() {
        if (!options_.serial.isEmpty())
            return OpenSerial();
        if (!server_.listen(QHostAddress::LocalHost, options_.port)) {
            std::fprintf(stderr, "velk-pbx-sim: cannot listen on 127.0.0.1:%u: %s\n", options_.port,
                         qPrintable(server_.errorString()));
            return false;
        }
        std::printf("listening on 127.0.0.1:%u\n", server_.serverPort());
        std::fflush(stdout);
        return true;
    }

private:
    bool OpenSerial() {
        serial_.setPortName(options_.serial);
        if (!serial_.open(QIODevice::ReadWrite) || !serial_.setBaudRate(options_.baud) ||
            !serial_.setDataBits(QSerialPort::Data8) || !serial_.setParity(QSerialPort::NoParity) ||
            !serial_.setStopBits(QSerialPort::OneStop) ||
            !serial_.setFlowControl(QSerialPort::NoFlowControl)) {
            std::fprintf(stderr, "velk-pbx-sim: cannot open %s: %s\n", qPrintable(options_.serial),
                         qPrintable(serial_.errorString()));
            return false;
        }
        socket_ = &serial_;
        connect(&serial_, &QSerialPort::readyRead, this, &PbxSimulator::OnRead);
        // The wire: characters leave at the baud rate, 10 bits each.
        connect(&wire_, &QTimer::timeout, this, &PbxSimulator::DrainWire);
        wire_.start(2);
        wireClock_.start();
        std::printf("serial on %s at %d baud\n", qPrintable(options_.serial), options_.baud);
        std::fflush(stdout);
        return true;
    }

    // Sends as much of the queued output as the baud rate allows by now.
    void DrainWire() {
        const double perMs = options_.baud / 10.0 / 1000.0;
        credit_ = std::min(credit_ + wireClock_.restart() * perMs, 64.0);
        if (pending_.isEmpty()) {
            credit_ = std::min(credit_, 1.0);  // an idle line saves no time for later
            return;
        }
        const auto n = static_cast<qsizetype>(credit_);
        if (n <= 0 || !serial_.isOpen())
            return;
        const QByteArray chunk = pending_.left(n);
        pending_.remove(0, chunk.size());
        credit_ -= static_cast<double>(chunk.size());
        serial_.write(chunk);
        serial_.flush();
    }

    void OnConnection() {
        while (QTcpSocket* s = server_.nextPendingConnection()) {
            if (socket_ != nullptr) {
                s->close();  // one collector at a time
                s->deleteLater();
                continue;
            }
            socket_ = s;
            awaitingAnswer_ = false;
            std::printf("connected\n");
            std::fflush(stdout);
            connect(s, &QTcpSocket::readyRead, this, &PbxSimulator::OnRead);
            connect(s, &QTcpSocket::disconnected, this, [this, s] {
                std::printf("disconnected\n");
                std::fflush(stdout);
                if (socket_ == s)
                    socket_ = nullptr;
                s->deleteLater();
            });
        }
    }

    // Makes the next message available when the rate allows it.
    bool HaveMessage() {
        if (!queue_.empty())
            return true;
        if (!options_.replay.isEmpty()) {
            if (replay_.empty())
                return false;
            Message m;
            m.text = replay_.front();
            m.call = m.text.rfind("52", 0) == 0;
            replay_.pop_front();
            return Enqueue(std::move(m));
        }
        if (options_.count > 0 && calls_ >= options_.count)
            return false;
        if (options_.rate > 0 &&
            calls_ >= static_cast<long>(started_.elapsed() / 1000.0 * options_.rate) + 1) {
            return false;
        }
        if (options_.trafficEvery > 0 && calls_ > 0 && calls_ % options_.trafficEvery == 0 &&
            lastTrafficAt_ != calls_) {
            lastTrafficAt_ = calls_;
            for (auto& part : generator_.NextTrafficReport()) {
                Message m;
                m.text = std::move(part);
                queue_.push_back(std::move(m));
            }
            return true;
        }
        Message m;
        m.text = generator_.NextCallRecord();
        m.call = true;
        if (!options_.state.isEmpty()) {
            // The next run numbers on from here (a record generated but never delivered leaves
            // a gap, as a PBX restarted with records in its buffer would).
            QSaveFile kept(options_.state);
            if (kept.open(QIODevice::WriteOnly)) {
                kept.write(QByteArray::number(generator_.Sequence()) + "\n");
                kept.commit();
            }
        }
        return Enqueue(std::move(m));
    }

    bool Enqueue(Message m) {
        if (m.call) {
            ++calls_;
            m.badFirstTry = options_.badBccEvery > 0 && calls_ % options_.badBccEvery == 0;
            m.sendTwice = options_.duplicateEvery > 0 && calls_ % options_.duplicateEvery == 0;
        }
        queue_.push_back(std::move(m));
        return true;
    }

    void Send(const QByteArray& bytes) {
        if (socket_ == nullptr)
            return;
        if (socket_ == &serial_) {
            pending_.append(bytes);
            return;
        }
        tcp()->write(bytes);
        tcp()->flush();
    }

    QTcpSocket* tcp() const { return static_cast<QTcpSocket*>(socket_); }

    // Ends the link: TCP closes the connection, a serial line closes the device.
    void CloseLink() {
        if (socket_ == &serial_) {
            serial_.close();
            socket_ = nullptr;
            std::printf("disconnected\n");
            std::fflush(stdout);
        } else if (socket_ != nullptr) {
            tcp()->disconnectFromHost();
        }
    }

    void SendCurrent() {
        Message& m = queue_.front();
        const bool corrupt = m.badFirstTry && m.tries == 0;
        ++m.tries;
        const std::string frame = velk::sim::Frame(m.text, corrupt);
        QByteArray bytes;
        if (socket_ != &serial_) {  // a serial line carries no length prefix
            const unsigned prefix =
                options_.systemType == 3 ? 0u : static_cast<unsigned>(frame.size());
            bytes.append(static_cast<char>(prefix >> 8));
            bytes.append(static_cast<char>(prefix & 0xFF));
        }
        bytes.append(frame.data(), static_cast<qsizetype>(frame.size()));
        awaitingAnswer_ = true;
        if (!options_.split) {
            Send(bytes);
            return;
        }
        // Three segments: the first byte, the next 40 bytes, the rest.
        QIODevice* s = socket_;
        Send(bytes.left(1));
        QTimer::singleShot(15, this, [this, s, bytes] {
            if (socket_ == s)
                Send(bytes.mid(1, 40));
        });
        QTimer::singleShot(30, this, [this, s, bytes] {
            if (socket_ == s)
                Send(bytes.mid(41));
        });
    }

    void OnRead() {
        QIODevice* s = socket_;
        if (s == nullptr)
            return;
        const QByteArray data = s->readAll();
        for (char c : data) {
            if (socket_ != s)
                return;
            Handle(c);
        }
    }

    void Handle(char c) {
        if (c == kEnq) {
            if (silence_ > 0) {
                --silence_;
                return;
            }
            if (awaitingAnswer_ || HaveMessage()) {
                SendCurrent();  // also a resend when the collector gave up waiting
            } else {
                Send(QByteArray(1, kNak));
            }
        } else if (c == kNak && awaitingAnswer_) {
            SendCurrent();
        } else if (c == kAck) {
            if (awaitingAnswer_ && (CloseInsteadOfEot() || KillInsteadOfEot()))
                return;
            Send(QByteArray(1, kEot));
            if (awaitingAnswer_)
                Delivered();
        }
    }

    // --close-after-ack: the link is closed right after the chosen record's ACK, before its EOT.
    // The record counts as sent unless --resend-unconfirmed asks for it again on the next
    // connection.
    bool CloseInsteadOfEot() {
        const Message& m = queue_.front();
        if (options_.closeAfterAck <= 0 || closedAfterAck_ || !m.call ||
            deliveredCalls_ + 1 != options_.closeAfterAck) {
            return false;
        }
        closedAfterAck_ = true;
        std::printf("closing after the ACK of record %ld\n", options_.closeAfterAck);
        std::fflush(stdout);
        if (options_.resendUnconfirmed) {
            awaitingAnswer_ = false;  // the same message goes out again
        } else {
            Delivered();
        }
        CloseLink();
        return true;
    }

    // --kill-after-ack: the collector dies right after the chosen records' ACK, before their EOT.
    bool KillInsteadOfEot() {
        const Message& m = queue_.front();
        if (options_.killAfterAck <= 0 || !m.call ||
            (deliveredCalls_ + 1) % options_.killAfterAck != 0) {
            return false;
        }
        const long record = deliveredCalls_ + 1;
        Delivered();
        const long pid = CollectorPid();
        if (pid > 0 && ::kill(static_cast<pid_t>(pid), SIGKILL) == 0) {
            std::printf("killed %ld after the ACK of record %ld\n", pid, record);
        } else {
            std::printf("no collector to kill after the ACK of record %ld\n", record);
            Send(QByteArray(1, kEot));
        }
        std::fflush(stdout);
        return true;
    }

    // The pid in the pid file, when it names a running VELK program other than this one.
    long CollectorPid() const {
        std::ifstream file(options_.killPidFile.toStdString());
        long pid = 0;
        if (!(file >> pid) || pid <= 1 || pid == static_cast<long>(::getpid()))
            return 0;
        std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
        std::string name;
        return std::getline(comm, name) && name.rfind("velk", 0) == 0 ? pid : 0;
    }

    void Delivered() {
        awaitingAnswer_ = false;
        Message& m = queue_.front();
        ++delivered_;
        std::printf("delivered %ld %s%s\n", delivered_,
                    m.sendTwice && sentOnce_ ? "duplicate " : "", m.text.c_str());
        std::fflush(stdout);
        if (m.sendTwice && !sentOnce_) {
            sentOnce_ = true;  // the same message goes out once more
            m.tries = 1;
        } else {
            sentOnce_ = false;
            if (m.call)
                ++deliveredCalls_;
            queue_.pop_front();
        }
        if (options_.silenceEvery > 0 && delivered_ % options_.silenceEvery == 0) {
            silence_ = options_.silencePolls;
        }
        if (options_.dropAfter > 0 && !dropped_ && deliveredCalls_ >= options_.dropAfter) {
            dropped_ = true;
            QIODevice* s = socket_;
            QTimer::singleShot(50, this, [this, s] {
                if (s != nullptr && socket_ == s)
                    CloseLink();
            });
        }
        if (options_.exitWhenDone && Done()) {
            std::printf("done %ld\n", deliveredCalls_);
            std::fflush(stdout);
            QTimer::singleShot(500, qApp, &QCoreApplication::quit);
        }
    }

    bool Done() const {
        if (!queue_.empty())
            return false;
        if (!options_.replay.isEmpty())
            return replay_.empty();
        return options_.count > 0 && calls_ >= options_.count;
    }

    Options options_;
    velk::sim::RecordGenerator generator_;
    QTcpServer server_;
    QIODevice* socket_ = nullptr;  // the connected socket, or the serial port
    QSerialPort serial_;
    QTimer wire_;
    QElapsedTimer wireClock_;
    QByteArray pending_;  // what waits to go out on the serial line
    double credit_ = 0;
    QElapsedTimer started_;
    std::deque<Message> queue_;
    std::deque<std::string> replay_;
    long calls_ = 0;
    long lastTrafficAt_ = -1;
    long delivered_ = 0;
    long deliveredCalls_ = 0;
    long silence_ = 0;
    bool awaitingAnswer_ = false;
    bool sentOnce_ = false;
    bool dropped_ = false;
    bool closedAfterAck_ = false;
};

}  // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("velk-pbx-sim"));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Plays the PBX billing port for VELK. Without options it listens on 127.0.0.1:6013 "
        "and generates about three call records a second."));
    parser.addHelpOption();
    const QCommandLineOption port({"p", "port"}, "TCP port to listen on.", "port", "6013");
    const QCommandLineOption count("count", "Call records to deliver (0: no end).", "n", "0");
    const QCommandLineOption rate("rate", "Call records per second (0: as fast as polled).", "r",
                                  "3");
    const QCommandLineOption traffic("traffic-every", "A traffic report after every n records.",
                                     "n", "20");
    const QCommandLineOption seed("seed", "Seed of the record generator.", "n", "1");
    const QCommandLineOption replay("replay", "Send the messages of a raw record file.", "file");
    const QCommandLineOption badBcc("bad-bcc-every",
                                    "Wrong BCC on the first try of every n-th record.", "n", "0");
    const QCommandLineOption split("split", "Send every record in three TCP segments.");
    const QCommandLineOption duplicate("duplicate-every", "Send every n-th record twice.", "n",
                                       "0");
    const QCommandLineOption skipEvery(
        "skip-every", "Leave out every n-th sequence number (n of 2 or more).", "n", "0");
    const QCommandLineOption silenceEvery("silence-every", "Go silent after every n-th message.",
                                          "n", "0");
    const QCommandLineOption silencePolls("silence-polls", "Polls to leave unanswered then.", "n",
                                          "2");
    const QCommandLineOption drop("drop-after", "Close the connection after n records (once).", "n",
                                  "0");
    const QCommandLineOption closeAfterAck(
        "close-after-ack", "Close the connection right after the ACK of the n-th record (once).",
        "n", "0");
    const QCommandLineOption resendUnconfirmed(
        "resend-unconfirmed",
        "With --close-after-ack: send that record again on the next connection.");
    const QCommandLineOption killAfterAck(
        "kill-after-ack",
        "Kill the collector (SIGKILL, the pid in --kill-pid-file) right after the ACK of every "
        "n-th record, before its EOT; the record counts as delivered.",
        "n", "0");
    const QCommandLineOption killPidFile(
        "kill-pid-file", "The file holding the collector's pid, for --kill-after-ack.", "file");
    const QCommandLineOption systemType(
        "system-type", "3: iPECS-MG billing server (length prefix not used).", "n", "0");
    const QCommandLineOption exitDone("exit-when-done", "Exit when every record was delivered.");
    const QCommandLineOption now("now", "Calls that end now (times from the clock), not on a "
                                        "fixed day from 2026-12-08 08:00 on.");
    const QCommandLineOption state("state",
                                   "Keep the last sequence number in this file and go on from it "
                                   "in the next run.",
                                   "file");
    const QCommandLineOption serial("serial", "Play the PBX on this serial device instead of TCP.",
                                    "device");
    const QCommandLineOption baud("baud", "Baud rate of the serial line (10 bits a character).",
                                  "n", "9600");
    parser.addOptions({port,         count,        rate,       traffic,       seed,
                       replay,       badBcc,       split,      duplicate,     skipEvery,
                       silenceEvery, silencePolls, drop,       closeAfterAck, resendUnconfirmed,
                       killAfterAck, killPidFile,  systemType, exitDone,      serial,
                       baud,         now,          state});
    parser.process(app);

    Options o;
    o.port = static_cast<quint16>(parser.value(port).toUInt());
    o.count = parser.value(count).toLong();
    o.rate = parser.value(rate).toDouble();
    o.trafficEvery = parser.value(traffic).toLong();
    o.seed = parser.value(seed).toUInt();
    o.replay = parser.value(replay);
    o.badBccEvery = parser.value(badBcc).toLong();
    o.split = parser.isSet(split);
    o.duplicateEvery = parser.value(duplicate).toLong();
    o.skipEvery = parser.value(skipEvery).toLong();
    o.silenceEvery = parser.value(silenceEvery).toLong();
    o.silencePolls = parser.value(silencePolls).toLong();
    o.dropAfter = parser.value(drop).toLong();
    o.closeAfterAck = parser.value(closeAfterAck).toLong();
    o.resendUnconfirmed = parser.isSet(resendUnconfirmed);
    o.killAfterAck = parser.value(killAfterAck).toLong();
    o.killPidFile = parser.value(killPidFile);
    o.systemType = parser.value(systemType).toInt();
    o.exitWhenDone = parser.isSet(exitDone);
    o.serial = parser.value(serial);
    o.baud = parser.value(baud).toInt();
    o.now = parser.isSet(now);
    o.state = parser.value(state);

    PbxSimulator sim(o);
    if (!sim.Listen())
        return 1;
    return QCoreApplication::exec();
}
