#pragma once
// ItemListModel: the app's items as a list model for the views, one row per item in list order
// (newest first). It holds the order; the app model decides what goes in and out. A change of an
// item announces its own row and the roles it touches only; insertions and removals are announced
// as row ranges, so that a list of ten thousand items stays smooth.

#include <QAbstractListModel>
#include <QList>

#include <functional>

#include "model/CompressionItem.h"

namespace dorvex::app {

class ItemListModel : public QAbstractListModel {
    Q_OBJECT

public:
    enum Role {
        ItemRole = Qt::UserRole + 1,  // the CompressionItem, as a QObject*
        SourcePathRole,               // the source's path
        PhaseRole,                    // a Phase
        AttemptRole,                  // running: encodes so far
        QualityRole,                  // running: the latest encode's quality, if any
        ProgressRole,                 // running: the latest pass fraction, if any
        StatusTextRole,               // the row's status line
        SourcePixelSizeRole,          // QSize, once known
        CanRecompressRole,
        IsVideoRole,
        IsPDFRole,
    };
    enum class Phase { running, finished, queued };
    Q_ENUM(Phase)

    explicit ItemListModel(QObject* parent = nullptr);

    const QList<CompressionItem*>& items() const { return items_; }
    // The item's row, found in logarithmic time; -1 when it is not listed.
    int row(const CompressionItem* item) const;
    // The first row of the run (see Run) that the row belongs to, found in logarithmic time.
    int runTop(int row) const;

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

    // Rows put in together at the top, which later items can continue below its last row: a
    // folder's files arriving in batches stay in one block, in the order found.
    struct Run {
        quint64 next = 0;  // the number the next row continuing the run gets
    };
    // Puts the items at the top, in the order given, as a new run.
    Run insertAtTop(const QList<CompressionItem*>& items);
    // Puts the items below the run's rows that are still listed (at the top when none is), in the
    // order given; one rowsInserted range.
    void continueRun(Run& run, const QList<CompressionItem*>& items);
    // Takes the items for which `matches` holds out of the list and returns them, in list order.
    QList<CompressionItem*> takeIf(const std::function<bool(const CompressionItem*)>& matches);

private:
    void watch(CompressionItem* item);
    void insert(quint64 topNumber, const QList<CompressionItem*>& items);
    void announce(const CompressionItem* item, const QList<int>& roles);

    QList<CompressionItem*> items_;
    // Every item gets a number when it is inserted, higher for rows nearer the top; since rows
    // only ever go in at the top or below a run's rows (each run owns a span of numbers that no
    // later run reaches), the numbers fall from row to row and a row is found by bisection.
    QList<quint64> rowNumbers_;  // by row
    QHash<const CompressionItem*, quint64> numbers_;
    quint64 nextNumber_ = 0;
};

}  // namespace dorvex::app
