#include "virtual_reader_window.h"

#include <QByteArray>
#include <QFontDatabase>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>

using virtual_reader::Card;

namespace {

constexpr int kSector = 14;
constexpr int kNumberBlock = kSector * 4;

const virtual_reader::Identity &readerIdentity()
{
    static const virtual_reader::Identity identity{
        "virtual-reader-1", std::wstring(L"Quendel"), std::wstring(L"CardWriter"),
        std::wstring(L"VIRTUAL0001"), 0x0100, 0x1234, 0xABCD};
    return identity;
}

template <size_t N>
QByteArray bytes(const std::array<uint8_t, N> &data)
{
    return QByteArray(reinterpret_cast<const char *>(data.data()), int(N));
}

// Lower-case bytes joined by spaces, as the program's log shows keys and blocks.
template <size_t N>
QString spacedHex(const std::array<uint8_t, N> &data)
{
    return QString::fromLatin1(bytes(data).toHex(' '));
}

QString describeKey(const virtual_reader::Key &key)
{
    QString name = QStringLiteral("unknown key");
    if (key == virtual_reader::kTransportKey)
        name = QStringLiteral("transport key");
    else if (key == virtual_reader::kSiteKey)
        name = QStringLiteral("site key");
    return QStringLiteral("%1  (%2)").arg(spacedHex(key), name);
}

QString describeNumberBlock(const virtual_reader::Block &block, bool carriesUid)
{
    return carriesUid ? QStringLiteral("%1  (starts with the UID)").arg(spacedHex(block))
                      : spacedHex(block);
}

QString describeNumberBlock(const Card &card)
{
    const virtual_reader::Block block = card.raw(kNumberBlock);
    return describeNumberBlock(
            block, std::equal(card.uid().begin(), card.uid().end(), block.begin()));
}

QLabel *valueLabel(QWidget *parent)
{
    auto *label = new QLabel(parent);
    label->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

}  // namespace

VirtualReaderWindow::VirtualReaderWindow(QWidget *parent)
    : QWidget(parent),
      mPlugButton(new QPushButton(this)),
      mReaderState(new QLabel(this)),
      mUid(valueLabel(this)),
      mBlock56(valueLabel(this)),
      mKeyA(valueLabel(this)),
      mAccessBytes(valueLabel(this)),
      mKeyB(valueLabel(this)),
      mSectorState(valueLabel(this))
{
    setWindowTitle(QStringLiteral("Virtual reader"));

    auto *readerRow = new QHBoxLayout;
    readerRow->addWidget(new QLabel(QStringLiteral("Reader:"), this));
    readerRow->addWidget(mReaderState, 1);
    readerRow->addWidget(mPlugButton);
    connect(mPlugButton, &QPushButton::clicked, this, [this] { mReader ? unplug() : plug(); });

    auto *cards = new QGroupBox(QStringLiteral("Lay on the reader"), this);
    auto *cardRow = new QHBoxLayout(cards);
    const auto addCardButton = [&](const QString &text, auto makeCard) {
        auto *button = new QPushButton(text, cards);
        cardRow->addWidget(button);
        connect(button, &QPushButton::clicked, this, [this, makeCard] { layCard(makeCard()); });
    };
    addCardButton(QStringLiteral("Blank card"), [this] { return Card::blank(nextUid()); });
    addCardButton(QStringLiteral("Prepared card"), [this] { return Card::prepared(nextUid()); });
    addCardButton(QStringLiteral("Card with unknown keys"),
                  [this] { return Card::unknownKeys(nextUid()); });
    addCardButton(QStringLiteral("No card"), [] { return std::optional<Card>(); });

    // Wide enough for the longest text, so that the window keeps its size.
    mBlock56->setMinimumWidth(mBlock56->fontMetrics().horizontalAdvance(
            describeNumberBlock(virtual_reader::Block{}, true)));

    auto *sector = new QGroupBox(QStringLiteral("Present card, sector 14"), this);
    auto *fields = new QFormLayout(sector);
    fields->addRow(QStringLiteral("UID:"), mUid);
    fields->addRow(QStringLiteral("Block 56:"), mBlock56);
    fields->addRow(QStringLiteral("Key A:"), mKeyA);
    fields->addRow(QStringLiteral("Access bytes:"), mAccessBytes);
    fields->addRow(QStringLiteral("Key B:"), mKeyB);
    fields->addRow(QStringLiteral("Sector:"), mSectorState);

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(readerRow);
    layout->addWidget(cards);
    layout->addWidget(sector);

    plug();
    layCard(Card::blank(nextUid()));
}

// The reader outlives the window: it must no longer call back into it.
VirtualReaderWindow::~VirtualReaderWindow()
{
    if (mReader)
        mReader->onRequest = nullptr;
}

void VirtualReaderWindow::plug()
{
    const std::lock_guard<std::recursive_mutex> held(virtual_reader::lock());
    mReader = &virtual_reader::plug(readerIdentity());
    // The hook runs before the reader answers: show the card once the
    // program's slot has returned and the command has taken effect.
    mReader->onRequest = [this](uint8_t) { scheduleRefresh(); };
    if (mCardOnUnpluggedReader)
        mReader->layCard(*mCardOnUnpluggedReader);
    mCardOnUnpluggedReader.reset();
    refresh();
}

void VirtualReaderWindow::unplug()
{
    const std::lock_guard<std::recursive_mutex> held(virtual_reader::lock());
    if (const Card *card = mReader->card())
        mCardOnUnpluggedReader = *card;
    mReader->onRequest = nullptr;
    virtual_reader::unplug(readerIdentity().path);
    mReader = nullptr;
    refresh();
}

void VirtualReaderWindow::layCard(const std::optional<Card> &card)
{
    const std::lock_guard<std::recursive_mutex> held(virtual_reader::lock());
    if (!mReader)
        mCardOnUnpluggedReader = card;
    else if (card)
        mReader->layCard(*card);
    else
        mReader->removeCard();
    refresh();
}

const Card *VirtualReaderWindow::presentCard() const
{
    if (mReader)
        return mReader->card();
    return mCardOnUnpluggedReader ? &*mCardOnUnpluggedReader : nullptr;
}

// Each card laid gets a UID of its own, so that the program sees a new card.
virtual_reader::Uid VirtualReaderWindow::nextUid()
{
    ++mCardsLaid;
    return {0x5E, 0xC7, 0xA1, uint8_t(mCardsLaid)};
}

// Called on whichever thread speaks to the reader.
void VirtualReaderWindow::scheduleRefresh()
{
    if (!mRefreshPending.exchange(true))
        QMetaObject::invokeMethod(this, &VirtualReaderWindow::refresh, Qt::QueuedConnection);
}

void VirtualReaderWindow::refresh()
{
    const std::lock_guard<std::recursive_mutex> held(virtual_reader::lock());
    mRefreshPending = false;
    mReaderState->setText(mReader ? QStringLiteral("plugged in") : QStringLiteral("unplugged"));
    mPlugButton->setText(mReader ? QStringLiteral("Unplug") : QStringLiteral("Plug in"));

    const Card *card = presentCard();
    if (!card) {
        mUid->setText(QStringLiteral("no card"));
        for (QLabel *field : {mBlock56, mKeyA, mAccessBytes, mKeyB, mSectorState})
            field->setText(QStringLiteral("-"));
        return;
    }
    mUid->setText(QString::fromLatin1(bytes(card->uid()).toHex().toUpper()));
    mBlock56->setText(describeNumberBlock(*card));
    mKeyA->setText(describeKey(card->keyA(kSector)));
    mAccessBytes->setText(spacedHex(card->accessBytes(kSector)));
    mKeyB->setText(describeKey(card->keyB(kSector)));
    mSectorState->setText(card->sectorBlocked(kSector)
                                  ? QStringLiteral("blocked for good (malformed access bytes)")
                                  : QStringLiteral("usable"));
}
