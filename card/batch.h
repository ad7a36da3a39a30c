// A box of cards on the open reader, card after card: the batch that
// quendel-card batch and the batch window both run. It takes a card when it
// arrives, reads it, prepares it unless it is prepared already, confirms a
// write by reading the card back, journals it, and waits for the field to
// clear; between cards it keeps the link alive, and it stops only between
// cards. It shows nothing itself: it tells a listener what happens, and each
// front end renders that its own way.
#pragma once

#include "card_workflows.h"
#include "journal.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

// How often the batch asks for a card and keeps the link alive while it
// waits. Tests over the virtual reader, whose answers never wait, pass zeros.
struct BatchTiming {
    int pollMs = 200;
    int heartbeatMs = 1000;
    int liftHintMs = 4000;  // a card left lying this long after its outcome
};

enum BatchOutcome { kPrepared, kAlreadyPrepared, kFailed, kInvalid, kBatchOutcomes };
// As the journal and quendel-card name it: "prepared", "already-prepared", ...
QString batch_outcome_name(BatchOutcome outcome);

struct BatchCard {
    int index;  // from 1
    QString uid;
    BatchOutcome outcome;
    QList<int> codes;  // of the failed attempts, then 6 for a failed read-back
    QString time;      // of its outcome row
};

enum class BatchEnd {
    Counted,        // as many cards as asked for
    Stopped,        // the listener asked
    ReaderLost,     // the reader no longer answers the heartbeat
    JournalFailed,  // a row could not be written: the batch must not go on
};

struct BatchResult {
    BatchEnd end;
    int tally[kBatchOutcomes];
};

class BatchListener {
public:
    virtual ~BatchListener() = default;
    // Asked between cards, before each look for one: end the batch now.
    virtual bool stopRequested() = 0;
    // Between looks for a card: the cards handled so far, and whether the
    // last one still lies on the reader.
    virtual void waiting(int handled, bool cardLying) = 0;
    // A card has arrived and is handled now: it must not be moved.
    virtual void cardTaken(const QString &uid) = 0;
    virtual void cardHandled(const BatchCard &card) = 0;
    // The card handled last has lain there the lift hint's time since.
    virtual void liftHint(const QString &uid) = 0;
    virtual void readerLost() = 0;
    // A row could not be written: why, and what that means for the card.
    virtual void journalFailed(const QString &error, const QString &consequence) = 0;
    // The workflows' debug lines, as the window logs them.
    virtual void debugLines(const QStringList &lines) = 0;
};

// Runs a batch on the reader at `reader`, open and locked, until `count`
// cards are handled (0: no limit) or it ends otherwise. A card is handled
// when it arrives: when it is seen after the field was seen empty, or in
// place of another card. The field counts as empty only after two looks in
// a row without a card, so that a detection missed once does not count a
// card lying there twice. Rows go into `journal` when it is open.
BatchResult run_batch_cards(Journal &journal, const QString &reader, int count, const BatchTiming &timing,
                            BatchListener &listener);

// Writes the card just read and confirms the write by reading it back. A
// "writing" row goes into `journal`, when it is open, before the first
// write, so that no stop of any kind leaves a changed card without a row
// that names it; when that row cannot be written, nothing is written and
// false comes back with the reason. A card written but not read back
// prepared has failed, with the read-back's code after the attempts'.
// `log` takes the write's debug lines.
bool write_journalled(Journal &journal, const QString &reader, const CardInfo &card,
                      const std::function<void(const QStringList &)> &log, QList<int> &codes, bool &prepared,
                      QString &error);
