// The demo's "Virtual reader" window: plugs and unplugs the virtual reader,
// lays cards on it, and shows what sector 14 of the present card holds after
// every command the reader answers.
#pragma once

#include "virtual_reader.h"

#include <QWidget>

#include <atomic>
#include <optional>

class QLabel;
class QPushButton;

class VirtualReaderWindow : public QWidget
{
    Q_OBJECT

public:
    // Starts with the reader plugged and a blank card laid on it.
    explicit VirtualReaderWindow(QWidget *parent = nullptr);
    ~VirtualReaderWindow() override;

private:
    void plug();
    void unplug();
    void layCard(const std::optional<virtual_reader::Card> &card);
    const virtual_reader::Card *presentCard() const;
    virtual_reader::Uid nextUid();
    void scheduleRefresh();
    void refresh();

    virtual_reader::Reader *mReader = nullptr;  // null while unplugged
    // An unplugged reader keeps its card; it is laid again when plugged back.
    std::optional<virtual_reader::Card> mCardOnUnpluggedReader;
    int mCardsLaid = 0;
    std::atomic<bool> mRefreshPending{false};

    QPushButton *mPlugButton;
    QLabel *mReaderState;
    QLabel *mUid;
    QLabel *mBlock56;
    QLabel *mKeyA;
    QLabel *mAccessBytes;
    QLabel *mKeyB;
    QLabel *mSectorState;
};
