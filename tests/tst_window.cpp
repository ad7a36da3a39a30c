// The window over the virtual reader: its form as it opens, the reader list
// and the connection states. Timer slots are driven directly.
#include "widget.h"

#include "reader.h"
#include "virtual_reader.h"

#include <QComboBox>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QLayout>
#include <QMetaMethod>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>

#include <algorithm>
#include <vector>

Q_DECLARE_METATYPE(virtual_reader::Fault)

namespace vr = virtual_reader;

namespace {

QStringList debugLines;

void captureDebug(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtDebugMsg)
        debugLines << message;
}

vr::Report linkReport(uint8_t command, uint8_t crc)
{
    vr::Report report{};
    const uint8_t head[] = {0x01, 0xD1, command, 0x00, crc, 0xD2};
    std::copy(std::begin(head), std::end(head), report.begin());
    return report;
}

vr::Reader &plugReader(const std::string &path, const wchar_t *product = L"Card Reader")
{
    vr::Identity identity;
    identity.path = path;
    if (product)
        identity.product = std::wstring(product);
    return vr::plug(identity);
}

// The window with the widgets the tests drive, reached by object name.
struct Window {
    Widget widget;
    QComboBox *comPort = widget.findChild<QComboBox *>("comPort");
    QLabel *labelStatus = widget.findChild<QLabel *>("labelStatus");
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
        return labelStatus->styleSheet() == lamp && btnConnect->isEnabled() != connected
                && comPort->isEnabled() != connected && btnDisconnect->isEnabled() == connected
                && btnReadCard->isEnabled() == connected && !btnWriteCard->isEnabled();
    }

    vr::Reader &connectTo(const std::string &path)
    {
        vr::Reader &reader = plugReader(path);
        scan();
        btnConnect->click();
        return reader;
    }
};

}  // namespace

class TestWindow : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void formAsItOpens();
    void geometryAndSlots();
    void imagesResolve_data();
    void imagesResolve();

    void readerListFollowsReaders();
    void unchangedListIsLeftAlone();
    void replacedReaderIsRelisted();
    void timersAreWired();

    void connectSendsConnectReport();
    void failedOpenChangesNothing();
    void heartbeatKeepsLink();
    void heartbeatLossDisconnects_data();
    void heartbeatLossDisconnects();
    void disconnectAndUnplug();

private:
    QtMessageHandler mPreviousHandler = nullptr;
};

void TestWindow::init()
{
    vr::unplugAll();
    debugLines.clear();
    mPreviousHandler = qInstallMessageHandler(captureDebug);
}

void TestWindow::cleanup()
{
    qInstallMessageHandler(mPreviousHandler);
    reader_close();
}

void TestWindow::formAsItOpens()
{
    Window w;
    QCOMPARE(w.widget.objectName(), QStringLiteral("Widget"));
    QCOMPARE(w.widget.windowTitle(), QStringLiteral("Quendel Arvesto 智能识别装置写卡器 V1.0"));
    QCOMPARE(w.btnConnect->font().pointSize(), 11);
    QVERIFY(w.shows(false));
    QCOMPARE(w.comPort->count(), 0);

    const auto label = [&](const char *name) { return w.widget.findChild<QLabel *>(name)->text(); };
    QCOMPARE(label("labelCom"), QStringLiteral("端口\uFF1A"));
    QCOMPARE(label("label1"), QStringLiteral("卡号\uFF1A"));
    for (const char *empty : {"labelStatus", "lblCardId", "lblTip"})
        QVERIFY2(label(empty).isEmpty(), empty);
    QCOMPARE(w.btnConnect->text(), QStringLiteral("连接"));
    QCOMPARE(w.btnDisconnect->text(), QStringLiteral("断开"));
    QCOMPARE(w.btnReadCard->text(), QStringLiteral("读卡"));
    QCOMPARE(w.btnWriteCard->text(), QStringLiteral("写卡"));
    for (const char *group : {"groupDevCon", "groupRdWr"})
        QVERIFY(w.widget.findChild<QGroupBox *>(group)->title().isEmpty());
    for (const char *layout : {"verticalLayout_2", "horizontalLayout", "verticalLayout", "horizontalLayout_2"})
        QVERIFY2(w.widget.findChild<QLayout *>(layout), layout);

    const auto nextTabStop = [](QWidget *from) {
        QWidget *next = from->nextInFocusChain();
        while (!(next->focusPolicy() & Qt::TabFocus))
            next = next->nextInFocusChain();
        return next;
    };
    QCOMPARE(nextTabStop(w.comPort), w.btnConnect);
    QCOMPARE(nextTabStop(w.btnConnect), w.btnDisconnect);
}

void TestWindow::geometryAndSlots()
{
    Window w;
    QCOMPARE(w.widget.minimumSize(), QSize(500, 150));
    QCOMPARE(w.widget.maximumSize(), QSize(507, 150));
    const std::pair<const char *, QSize> fixed[] = {
        {"labelCom", {50, 32}}, {"comPort", {200, 24}}, {"labelStatus", {28, 28}},
        {"btnConnect", {80, 32}}, {"btnDisconnect", {80, 32}}, {"label1", {50, 32}},
        {"lblCardId", {233, 32}}, {"btnReadCard", {80, 32}}, {"btnWriteCard", {80, 32}},
    };
    for (const auto &[name, size] : fixed) {
        const QWidget *child = w.widget.findChild<QWidget *>(name);
        QVERIFY2(child->minimumSize() == size && child->maximumSize() == size, name);
    }

    // The card buttons stand below the connection buttons at every width.
    w.widget.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w.widget));
    QCOMPARE(w.widget.size(), QSize(500, 150));
    const auto left = [&](QWidget *child) { return child->mapTo(&w.widget, QPoint()).x(); };
    for (int width : {500, 507, 600}) {
        w.widget.resize(width, 300);
        w.widget.layout()->activate();
        QCOMPARE(w.widget.size(), QSize(std::min(width, 507), 150));
        QCOMPARE(left(w.btnReadCard), left(w.btnConnect));
        QCOMPARE(left(w.btnWriteCard), left(w.btnDisconnect));
    }

    const QMetaObject *meta = w.widget.metaObject();
    QCOMPARE(meta->className(), "Widget");
    QByteArrayList slotNames;
    for (int i = meta->methodOffset(); i < meta->methodCount(); ++i) {
        QCOMPARE(meta->method(i).methodType(), QMetaMethod::Slot);
        QCOMPARE(meta->method(i).access(), QMetaMethod::Private);
        slotNames << meta->method(i).name();
    }
    QCOMPARE(slotNames, (QByteArrayList{"do_mScanDeviceTmr_timeout", "do_mClearTipTmr_timeout",
                                        "on_btnConnect_clicked", "on_btnDisconnect_clicked",
                                        "on_btnReadCard_clicked", "on_btnWriteCard_clicked"}));
}

void TestWindow::imagesResolve_data()
{
    QTest::addColumn<QPoint>("inside");  // a pixel the shape covers in full
    QTest::addColumn<QRgb>("colour");
    QTest::newRow("green") << QPoint(24, 24) << qRgb(0x00, 0xFF, 0x00);
    QTest::newRow("cancel") << QPoint(24, 24) << qRgb(0xD8, 0x1E, 0x06);
    QTest::newRow("ok") << QPoint(29, 24) << qRgb(0x1A, 0xFA, 0x29);
    QTest::newRow("reset") << QPoint(24, 38) << qRgb(0x70, 0x70, 0x70);
    QTest::newRow("logo") << QPoint(24, 5) << qRgb(0x12, 0x96, 0xDB);
    QTest::newRow("red") << QPoint(24, 24) << qRgb(0xFF, 0x00, 0x00);
    QTest::newRow("eye_off") << QPoint(24, 24) << qRgb(0x44, 0x44, 0x44);
    QTest::newRow("eye_on") << QPoint(24, 24) << qRgb(0x8A, 0x8A, 0x8A);
}

void TestWindow::imagesResolve()
{
    QFETCH(QPoint, inside);
    QFETCH(QRgb, colour);
    const QImage image(QStringLiteral(":/images/%1.png").arg(QTest::currentDataTag()));
    QCOMPARE(image.size(), QSize(48, 48));
    for (const QPoint corner : {QPoint(0, 0), QPoint(47, 0), QPoint(0, 47), QPoint(47, 47)})
        QCOMPARE(qAlpha(image.pixel(corner)), 0);
    QCOMPARE(image.pixel(inside), colour);
}

void TestWindow::readerListFollowsReaders()
{
    Window w;
    QVERIFY(w.scan());
    QCOMPARE(w.comPort->count(), 0);
    QVERIFY(debugLines.isEmpty());  // no reader: nothing to tell

    // Only the first reader listed is offered.
    plugReader("/dev/hidraw3");
    plugReader("/dev/hidraw5", L"Second");
    QVERIFY(w.scan());
    QCOMPARE(w.comPort->count(), 1);
    QCOMPARE(w.comPort->itemText(0), QStringLiteral("CardWriter0"));
    QCOMPARE(w.comPort->currentIndex(), 0);
    QCOMPARE(w.comPort->currentData().toString(), QStringLiteral("/dev/hidraw3"));
    QCOMPARE(debugLines, QStringList{R"(QMap(("Card Reader0", "/dev/hidraw3")))"});

    vr::unplugAll();
    QVERIFY(w.scan());
    QCOMPARE(w.comPort->count(), 0);
    QCOMPARE(debugLines.last(), QStringLiteral("QMap()"));

    // Without a product string the key is the number alone.
    plugReader("/dev/hidraw4", nullptr);
    QVERIFY(w.scan());
    QCOMPARE(debugLines.last(), QStringLiteral(R"(QMap(("0", "/dev/hidraw4")))"));
}

void TestWindow::unchangedListIsLeftAlone()
{
    Window w;
    plugReader("/dev/hidraw3");
    QVERIFY(w.scan());
    debugLines.clear();
    QSignalSpy removed(w.comPort->model(), &QAbstractItemModel::rowsRemoved);
    QSignalSpy current(w.comPort, &QComboBox::currentIndexChanged);
    QVERIFY(w.scan());
    QVERIFY(w.scan());
    QCOMPARE(removed.count(), 0);
    QCOMPARE(current.count(), 0);
    QVERIFY(debugLines.isEmpty());
}

void TestWindow::replacedReaderIsRelisted()
{
    Window w;
    plugReader("/dev/hidraw3");
    QVERIFY(w.scan());
    vr::unplug("/dev/hidraw3");
    plugReader("/dev/hidraw7");
    QVERIFY(w.scan());
    QCOMPARE(w.comPort->count(), 1);
    QCOMPARE(debugLines.last(), QStringLiteral(R"(QMap(("Card Reader0", "/dev/hidraw7")))"));

    w.btnConnect->click();
    QVERIFY(w.shows(true));
    QVERIFY(vr::find("/dev/hidraw7")->isOpen());
}

void TestWindow::timersAreWired()
{
    plugReader("/dev/hidraw3");
    Window w;
    QCOMPARE(w.comPort->count(), 0);  // no reader work before the first tick
    QTRY_COMPARE_WITH_TIMEOUT(w.comPort->count(), 1, 1500);
}

void TestWindow::connectSendsConnectReport()
{
    Window w;
    vr::Reader &reader = w.connectTo("/dev/hidraw3");
    QVERIFY(w.shows(true));
    QVERIFY(reader.isOpen());
    QCOMPARE(vr::openHandles(), 1);
    QCOMPARE(reader.received(), std::vector<vr::Report>{linkReport(0x01, 0x51)});
}

void TestWindow::failedOpenChangesNothing()
{
    Window w;
    w.btnConnect->click();  // empty list, empty path
    QVERIFY(w.shows(false));

    plugReader("/dev/hidraw3");
    QVERIFY(w.scan());
    vr::unplugAll();
    w.btnConnect->click();  // listed, but gone
    QVERIFY(w.shows(false));
    QCOMPARE(vr::openHandles(), 0);
    QCOMPARE(vr::calls().write, 0);
    QCOMPARE(debugLines.size(), 1);
}

void TestWindow::heartbeatKeepsLink()
{
    Window w;
    vr::Reader &reader = plugReader("/dev/hidraw3");
    QVERIFY(w.scan());
    reader.failNext(vr::Fault::NoAnswer);  // the connect answer does not count
    w.btnConnect->click();
    QVERIFY(w.shows(true));

    reader.clearReceived();
    const int enumerations = vr::calls().enumerate;
    QVERIFY(w.scan());
    QVERIFY(w.scan());
    QVERIFY(w.shows(true));
    const vr::Report heartbeat = linkReport(0x02, 0x6E);
    QCOMPARE(reader.received(), (std::vector<vr::Report>{heartbeat, heartbeat}));
    QCOMPARE(vr::calls().enumerate, enumerations);
}

void TestWindow::heartbeatLossDisconnects_data()
{
    QTest::addColumn<vr::Fault>("fault");
    QTest::newRow("no answer") << vr::Fault::NoAnswer;
    QTest::newRow("bad checksum") << vr::Fault::BadChecksum;
    QTest::newRow("wrong echo") << vr::Fault::WrongEcho;
    QTest::newRow("read error") << vr::Fault::ReadError;
    QTest::newRow("write fails") << vr::Fault::WriteFails;
}

void TestWindow::heartbeatLossDisconnects()
{
    QFETCH(vr::Fault, fault);
    Window w;
    vr::Reader &reader = w.connectTo("/dev/hidraw3");
    debugLines.clear();
    reader.failNext(fault, kCmdHeartbeat);
    QVERIFY(w.scan());
    QVERIFY(w.shows(false));
    QVERIFY(!reader.isOpen());
    QCOMPARE(vr::openHandles(), 0);
    QVERIFY(debugLines.isEmpty());
}

void TestWindow::disconnectAndUnplug()
{
    Window w;
    vr::Reader &reader = w.connectTo("/dev/hidraw3");
    reader.clearReceived();
    w.btnDisconnect->click();
    QVERIFY(w.shows(false));
    QVERIFY(reader.received().empty());
    QCOMPARE(vr::openHandles(), 0);

    // Unplugged while connected: the heartbeat drops the link, and the list
    // catches up one tick later.
    w.btnConnect->click();
    QVERIFY(w.shows(true));
    vr::unplugAll();
    QVERIFY(w.scan());
    QVERIFY(w.shows(false));
    QCOMPARE(vr::openHandles(), 0);
    QCOMPARE(w.comPort->count(), 1);
    QVERIFY(w.scan());
    QCOMPARE(w.comPort->count(), 0);
    QCOMPARE(debugLines.last(), QStringLiteral("QMap()"));
}

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
