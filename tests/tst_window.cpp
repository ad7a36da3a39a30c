// The window over the virtual reader: its state as it opens, the first scan a
// second later, the reader list and the connection states. Timer slots are
// driven directly, except for the first scan.
#include "widget.h"

#include "reader.h"
#include "virtual_reader.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>

#include <optional>

using Ending = std::optional<virtual_reader::Fault>;  // none: "断开"
Q_DECLARE_METATYPE(Ending)

namespace vr = virtual_reader;

namespace {

QStringList debugLines;

vr::Reader &plugReader(const std::string &path)
{
    return vr::plug({path, {}, L"Card Reader", {}});
}

// The window with the widgets the tests drive, reached by object name.
struct Window {
    Widget widget;
    QComboBox *comPort = widget.findChild<QComboBox *>("comPort");
    QPushButton *btnConnect = widget.findChild<QPushButton *>("btnConnect");
    QPushButton *btnDisconnect = widget.findChild<QPushButton *>("btnDisconnect");
    QPushButton *btnReadCard = widget.findChild<QPushButton *>("btnReadCard");
    QPushButton *btnWriteCard = widget.findChild<QPushButton *>("btnWriteCard");

    bool scan() { return QMetaObject::invokeMethod(&widget, "do_mScanDeviceTmr_timeout"); }

    // Lamp and every enabled state agree with one of the two states.
    bool shows(bool connected) const
    {
        const QString lamp = connected ? "border-image: url(:/images/green.png);"
                                       : "border-image: url(:/images/red.png);";
        return widget.findChild<QLabel *>("labelStatus")->styleSheet() == lamp
                && btnConnect->isEnabled() != connected && comPort->isEnabled() != connected
                && btnDisconnect->isEnabled() == connected && btnReadCard->isEnabled() == connected
                && !btnWriteCard->isEnabled();
    }
};

}  // namespace

class TestWindow : public QObject
{
    Q_OBJECT

    QtMessageHandler previousHandler = nullptr;

private slots:
    void init()
    {
        vr::unplugAll();
        debugLines.clear();
        previousHandler = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &message) {
            if (type == QtDebugMsg)
                debugLines << message;
        });
    }

    void cleanup()
    {
        qInstallMessageHandler(previousHandler);
        reader_close();
    }

    // It opens disconnected, and the first scan comes a second later:
    // reference timers of the same interval and kind, started just before and
    // just after the window, fire on either side of it.
    void disconnectedUntilTheFirstScanASecondLater()
    {
        plugReader("/dev/hidraw3");
        int listedBefore = -1, listedAfter = -1;
        QTimer before, after;
        before.start(1000);
        Window w;
        after.start(1000);
        connect(&before, &QTimer::timeout, this, [&] { listedBefore = w.comPort->count(); before.stop(); });
        connect(&after, &QTimer::timeout, this, [&] { listedAfter = w.comPort->count(); after.stop(); });

        QVERIFY(w.shows(false));
        QTRY_VERIFY_WITH_TIMEOUT(listedAfter >= 0, 5000);
        QCOMPARE(listedBefore, 0);
        QCOMPARE(listedAfter, 1);
    }

    void readerListFollowsReaders()
    {
        Window w;
        QVERIFY(w.scan());
        QCOMPARE(w.comPort->count(), 0);
        QVERIFY(debugLines.isEmpty());  // no reader: nothing to tell

        // Only the first reader listed is offered.
        plugReader("/dev/hidraw3");
        vr::plug({"/dev/hidraw5", {}, L"Second", {}});
        QVERIFY(w.scan());
        QCOMPARE(w.comPort->count(), 1);
        QCOMPARE(w.comPort->itemText(0), QStringLiteral("CardWriter0"));
        QCOMPARE(w.comPort->currentData().toString(), QStringLiteral("/dev/hidraw3"));
        QCOMPARE(debugLines, QStringList{R"(QMap(("Card Reader0", "/dev/hidraw3")))"});

        // Unchanged: the items, the current one (and an open drop-down) stay; nothing is logged.
        QSignalSpy removed(w.comPort->model(), &QAbstractItemModel::rowsRemoved);
        QVERIFY(w.scan());
        QVERIFY(removed.isEmpty());
        QCOMPARE(debugLines.size(), 1);

        // Replaced under another path between two ticks: relisted.
        vr::unplugAll();
        plugReader("/dev/hidraw7");
        QVERIFY(w.scan());
        QCOMPARE(w.comPort->currentData().toString(), QStringLiteral("/dev/hidraw7"));
        QCOMPARE(debugLines.last(), QStringLiteral(R"(QMap(("Card Reader0", "/dev/hidraw7")))"));

        // Listed, but gone: the open fails silently.
        vr::unplugAll();
        w.btnConnect->click();
        QVERIFY(w.shows(false));
        QCOMPARE(vr::calls().write, 0);
        QVERIFY(w.scan());
        QCOMPARE(w.comPort->count(), 0);
        QCOMPARE(debugLines.last(), QStringLiteral("QMap()"));

        // Without a product string the key is the number alone.
        vr::plug({"/dev/hidraw4", {}, {}, {}});
        QVERIFY(w.scan());
        QCOMPARE(debugLines.last(), QStringLiteral(R"(QMap(("0", "/dev/hidraw4")))"));
    }

    void connectionEnds_data()
    {
        QTest::addColumn<Ending>("ending");
        QTest::newRow("断开") << Ending();
        // The link's checks each have their own test; here one of each way the link fails.
        for (const auto &[name, fault] : {std::pair{"no answer", vr::Fault::NoAnswer}, {"wrong echo", vr::Fault::WrongEcho},
                                          {"write fails", vr::Fault::WriteFails}, {"unplugged", vr::Fault::Unplug}})
            QTest::newRow(name) << Ending(fault);
    }

    // The connect answer does not count, and no scan runs while connected.
    // "断开" sends nothing; a heartbeat that fails lets the reader go
    // silently: the lamp is the only sign. The list catches up one tick later.
    void connectionEnds()
    {
        QFETCH(Ending, ending);
        Window w;
        vr::Reader &reader = plugReader("/dev/hidraw3");
        QVERIFY(w.scan());
        reader.failNext(vr::Fault::NoAnswer);
        w.btnConnect->click();
        QVERIFY(w.shows(true));
        const int enumerations = vr::calls().enumerate;
        QVERIFY(w.scan());
        QCOMPARE(vr::calls().enumerate, enumerations);
        debugLines.clear();
        if (ending) {
            reader.failNext(*ending, kCmdHeartbeat);
            QVERIFY(w.scan());
        } else {
            w.btnDisconnect->click();
            const vr::Report connect{0x01, 0xD1, 0x01, 0x00, 0x51, 0xD2}, heartbeat{0x01, 0xD1, 0x02, 0x00, 0x6E, 0xD2};
            QCOMPARE(reader.received(), (std::vector<vr::Report>{connect, heartbeat}));
        }
        QVERIFY(w.shows(false));
        QCOMPARE(vr::openHandles(), 0);
        QVERIFY(debugLines.isEmpty());
        QCOMPARE(w.comPort->count(), 1);

        const bool unplugged = ending == vr::Fault::Unplug;
        QVERIFY(w.scan());
        QCOMPARE(w.comPort->count(), unplugged ? 0 : 1);
        QCOMPARE(debugLines, unplugged ? QStringList{"QMap()"} : QStringList());
    }
};

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
