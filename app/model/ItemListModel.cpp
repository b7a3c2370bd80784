#include "model/ItemListModel.h"

#include <QSize>

#include <algorithm>
#include <functional>

#include "dorvex/text/Format.h"
#include "model/UiText.h"

namespace dorvex::app {

namespace {

// The numbers a run owns: more rows than any drop can hold.
constexpr quint64 runSpan = quint64(1) << 32;

QString statusText(const CompressionItem& item) {
    if (const auto* running = item.running()) {
        return QString::fromStdString(Format::runningStatus(running->attempt, running->quality, running->progress));
    }
    if (const CompressionResult* result = item.result()) return QString::fromStdString(Format::statusLine(*result));
    return ui("排队中");
}

template <typename T>
QVariant optionalValue(const std::optional<T>& value) {
    return value ? QVariant::fromValue(*value) : QVariant();
}

}  // namespace

ItemListModel::ItemListModel(QObject* parent) : QAbstractListModel(parent) {}

int ItemListModel::row(const CompressionItem* item) const {
    const auto number = numbers_.constFind(item);
    if (number == numbers_.cend()) return -1;
    const auto at = std::lower_bound(rowNumbers_.cbegin(), rowNumbers_.cend(), *number, std::greater<>());
    return int(at - rowNumbers_.cbegin());
}

int ItemListModel::runTop(int row) const {
    // A run's rows are numbered down from a multiple of the span it owns.
    const quint64 top = (rowNumbers_.at(row) - 1) / runSpan * runSpan + runSpan;
    return int(std::lower_bound(rowNumbers_.cbegin(), rowNumbers_.cend(), top, std::greater<>()) - rowNumbers_.cbegin());
}

int ItemListModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : int(items_.size()); }

QVariant ItemListModel::data(const QModelIndex& index, int role) const {
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid)) return {};
    const CompressionItem& item = *items_.at(index.row());
    const CompressionItem::Running* running = item.running();
    switch (role) {
    case Qt::DisplayRole:
        return QString::fromStdString(item.source().filename().string());
    case Qt::ToolTipRole:
        return QString::fromStdString(Format::toolTip(item.source(), item.result()));
    case ItemRole:
        return QVariant::fromValue(static_cast<QObject*>(items_.at(index.row())));
    case SourcePathRole:
        return QString::fromStdString(item.source().string());
    case PhaseRole:
        return QVariant::fromValue(running ? Phase::running : item.result() ? Phase::finished : Phase::queued);
    case AttemptRole:
        return running ? QVariant(running->attempt) : QVariant();
    case QualityRole:
        return running ? optionalValue(running->quality) : QVariant();
    case ProgressRole:
        return running ? optionalValue(running->progress) : QVariant();
    case StatusTextRole:
        return statusText(item);
    case SourcePixelSizeRole:
        return item.sourcePixelSize() ? QVariant(QSize(item.sourcePixelSize()->width, item.sourcePixelSize()->height))
                                      : QVariant();
    case CanRecompressRole:
        return item.canRecompress();
    case IsVideoRole:
        return item.isVideo();
    case IsPDFRole:
        return item.isPDF();
    default:
        return {};
    }
}

QHash<int, QByteArray> ItemListModel::roleNames() const {
    QHash<int, QByteArray> names = QAbstractListModel::roleNames();
    names.insert({{ItemRole, "item"},
                  {SourcePathRole, "sourcePath"},
                  {PhaseRole, "phase"},
                  {AttemptRole, "attempt"},
                  {QualityRole, "quality"},
                  {ProgressRole, "progress"},
                  {StatusTextRole, "statusText"},
                  {SourcePixelSizeRole, "sourcePixelSize"},
                  {CanRecompressRole, "canRecompress"},
                  {IsVideoRole, "isVideo"},
                  {IsPDFRole, "isPDF"}});
    return names;
}

ItemListModel::Run ItemListModel::insertAtTop(const QList<CompressionItem*>& items) {
    nextNumber_ += runSpan;
    Run run{nextNumber_};
    continueRun(run, items);
    return run;
}

void ItemListModel::continueRun(Run& run, const QList<CompressionItem*>& items) {
    if (items.isEmpty()) return;
    if (run.next == 0) run = insertAtTop({});
    insert(run.next, items);
    run.next -= quint64(items.size());
}

void ItemListModel::insert(quint64 topNumber, const QList<CompressionItem*>& items) {
    // Watched first, so that the row is announced before anyone who connects on insertion hears
    // of the change.
    for (CompressionItem* item : items) watch(item);
    const int first = int(std::lower_bound(rowNumbers_.cbegin(), rowNumbers_.cend(), topNumber, std::greater<>()) -
                          rowNumbers_.cbegin());
    beginInsertRows({}, first, first + int(items.size()) - 1);
    QList<quint64> numbers(items.size());
    for (qsizetype at = 0; at < items.size(); ++at) {
        numbers[at] = topNumber - quint64(at);
        numbers_.insert(items[at], numbers[at]);
    }
    items_.insert(first, items.size(), nullptr);
    std::copy(items.cbegin(), items.cend(), items_.begin() + first);
    rowNumbers_.insert(first, numbers.size(), 0);
    std::copy(numbers.cbegin(), numbers.cend(), rowNumbers_.begin() + first);
    endInsertRows();
}

QList<CompressionItem*> ItemListModel::takeIf(const std::function<bool(const CompressionItem*)>& matches) {
    QList<CompressionItem*> taken;
    // From the bottom up, one announcement per run of adjacent rows, so that the rows above a
    // run keep their numbers while it goes.
    for (int end = int(items_.size()); end > 0;) {
        if (!matches(items_.at(end - 1))) {
            --end;
            continue;
        }
        int first = end - 1;
        while (first > 0 && matches(items_.at(first - 1))) --first;
        beginRemoveRows({}, first, end - 1);
        for (int at = end - 1; at >= first; --at) {
            disconnect(items_.at(at), nullptr, this, nullptr);
            numbers_.remove(items_.at(at));
            taken.append(items_.at(at));
        }
        items_.remove(first, end - first);
        rowNumbers_.remove(first, end - first);
        endRemoveRows();
        end = first;
    }
    std::reverse(taken.begin(), taken.end());
    return taken;
}

void ItemListModel::watch(CompressionItem* item) {
    connect(item, &CompressionItem::stateChanged, this, [this, item] {
        announce(item, {PhaseRole, AttemptRole, QualityRole, ProgressRole, StatusTextRole, CanRecompressRole});
    });
    connect(item, &CompressionItem::optionsChanged, this, [this, item] { announce(item, {CanRecompressRole}); });
    connect(item, &CompressionItem::sourcePixelSizeChanged, this,
            [this, item] { announce(item, {SourcePixelSizeRole}); });
}

void ItemListModel::announce(const CompressionItem* item, const QList<int>& roles) {
    const int at = row(item);
    if (at < 0) return;
    const QModelIndex changed = index(at);
    emit dataChanged(changed, changed, roles);
}

}  // namespace dorvex::app
