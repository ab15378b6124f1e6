#include "listbox.h"

#include <QHeaderView>
#include <QPainter>
#include <QStyledItemDelegate>

#include "exceptions.h"

namespace platform {

Graphics::Graphics(QPainter& painter, int width, int height)
    : painter_(painter), width_(width), height_(height) {}

void Graphics::FillRect(int x, int y, int width, int height) {
    painter_.fillRect(QRect(x, y, width, height), foreColor_);
}

namespace {

constexpr int kTextInset = 4;

// Draws every cell through the list's two hooks, then its text in the colour they leave.
class CellPainter : public QStyledItemDelegate {
public:
    explicit CellPainter(Listbox* list) : QStyledItemDelegate(list), list_(list) {}

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        const QRect cell = option.rect;
        const int row = index.row();
        const int column = index.column();
        const bool selected = option.state & QStyle::State_Selected;

        painter->save();
        painter->translate(cell.topLeft());
        painter->setClipRect(QRect(0, 0, cell.width(), cell.height()));
        painter->fillRect(QRect(0, 0, cell.width(), cell.height()),
                          option.palette.brush(QPalette::Base));

        // Each hook gets a drawing state of its own: whatever colour the background hook
        // leaves set stays with the background, and the text hook starts from the colour the
        // list would draw the text in.
        Graphics background(*painter, cell.width(), cell.height());
        background.setForeColor(option.palette.color(QPalette::Text));
        const bool backgroundDone =
            list_->CellBackgroundPaint && list_->CellBackgroundPaint(background, row, column);
        const bool highlighted = !backgroundDone && selected;
        if (highlighted)
            painter->fillRect(QRect(0, 0, cell.width(), cell.height()),
                              option.palette.brush(QPalette::Highlight));

        Graphics text(*painter, cell.width(), cell.height());
        text.setForeColor(
            option.palette.color(highlighted ? QPalette::HighlightedText : QPalette::Text));
        const QFontMetrics metrics(option.font);
        const int baseline = (cell.height() + metrics.ascent() - metrics.descent()) / 2;
        const bool textDone =
            list_->CellTextPaint && list_->CellTextPaint(text, row, column, kTextInset, baseline);
        // A name too long for its column loses its middle, not its extension; the whole row
        // shows in the row's tooltip.
        if (!textDone) {
            painter->setFont(option.font);
            painter->setPen(text.ForeColor());
            painter->drawText(kTextInset, baseline,
                              metrics.elidedText(index.data(Qt::DisplayRole).toString(),
                                                 Qt::ElideMiddle, cell.width() - 2 * kTextInset));
        }
        // The keyboard's place in the list: a dotted line round the current row, in the colour
        // of its text, drawn only while the list has the focus.
        if (list_->hasFocus() && list_->currentIndex().row() == row) {
            QPen pen(text.ForeColor(), 1, Qt::DotLine);
            painter->setPen(pen);
            const int right = cell.width() - 1;
            const int bottom = cell.height() - 1;
            painter->drawLine(0, 0, right, 0);
            painter->drawLine(0, bottom, right, bottom);
            if (column == 0)
                painter->drawLine(0, 0, 0, bottom);
            if (column == list_->columnCount() - 1)
                painter->drawLine(right, 0, right, bottom);
        }
        painter->restore();
    }

private:
    Listbox* list_;
};

int percentOf(const QString& width, int total) {
    QString s = width.trimmed();
    if (s.endsWith(QLatin1Char('%')))
        return total * s.chopped(1).trimmed().toInt() / 100;
    return s.toInt();
}

} // namespace

Listbox::Listbox(QWidget* parent, const QRect& geometry, const QString& initialValue,
                 const QString& columnWidths)
    : QTreeWidget(parent) {
    setGeometry(geometry);
    const QStringList headings = initialValue.split(QLatin1Char('\t'));
    setColumnCount(headings.size());
    setHeaderLabels(headings);
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setUniformRowHeights(true);
    // Rows look the way the paint hooks draw them: the style's focus frame across the current
    // row would tint them.
    setAllColumnsShowFocus(false);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setDragEnabled(false);
    setDragDropMode(QAbstractItemView::NoDragDrop);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setItemDelegate(new CellPainter(this));

    header()->setStretchLastSection(false);
    header()->setSectionResizeMode(QHeaderView::Interactive);
    header()->setSectionsClickable(true);
    const QStringList widths = columnWidths.split(QLatin1Char(','));
    for (int i = 0; i < widths.size() && i < columnCount(); ++i)
        header()->resizeSection(i, percentOf(widths[i], geometry.width()));
    connect(header(), &QHeaderView::sectionClicked, this, [this](int column) {
        const bool again = column == headingIndex_ && header()->isSortIndicatorShown() &&
                           header()->sortIndicatorOrder() == Qt::AscendingOrder;
        headingIndex_ = column;
        sortBy(column, again ? Qt::DescendingOrder : Qt::AscendingOrder);
    });
}

QTreeWidgetItem* Listbox::rowItem(int row) const {
    QTreeWidgetItem* item = topLevelItem(row);
    if (!item)
        throw NilObjectException(QStringLiteral("row %1 of the list").arg(row));
    return item;
}

void Listbox::AddRow(const QString& text) {
    auto* item = new QTreeWidgetItem;
    item->setText(0, text);
    addTopLevelItem(item);
    lastAdded_ = item;
    // The row goes at the end, so the rows are no longer in the order the arrow shows.
    header()->setSortIndicatorShown(false);
}

int Listbox::LastIndex() const {
    if (!lastAdded_)
        return -1;
    const int last = topLevelItemCount() - 1;
    if (last >= 0 && topLevelItem(last) == lastAdded_)
        return last;
    return indexOfTopLevelItem(lastAdded_);
}

QString Listbox::Cell(int row, int column) const {
    return rowItem(row)->text(column);
}

void Listbox::setCell(int row, int column, const QString& text) {
    QTreeWidgetItem* item = rowItem(row);
    item->setText(column, text);
    QStringList cells;
    for (int c = 0; c < columnCount(); ++c)
        cells.append(item->text(c));
    const QString whole = cells.join(QLatin1Char('\n')).trimmed();
    for (int c = 0; c < columnCount(); ++c)
        item->setToolTip(c, whole);
}

bool Listbox::Selected(int row) const {
    return rowItem(row)->isSelected();
}

void Listbox::setSelected(int row, bool selected) {
    rowItem(row)->setSelected(selected);
}

int Listbox::SelCount() const {
    return int(selectedItems().size());
}

void Listbox::RemoveRow(int row) {
    QTreeWidgetItem* item = takeTopLevelItem(row);
    if (!item)
        throw NilObjectException(QStringLiteral("row %1 of the list").arg(row));
    if (item == lastAdded_)
        lastAdded_ = nullptr;
    delete item;
}

void Listbox::DeleteAllRows() {
    clear();
    lastAdded_ = nullptr;
}

void Listbox::setHeadingIndex(int column) {
    headingIndex_ = column;
    if (column < 0) {
        header()->setSortIndicatorShown(false);
        return;
    }
    sortBy(column, Qt::AscendingOrder);
}

void Listbox::sortBy(int column, Qt::SortOrder order) {
    header()->setSortIndicatorShown(true);
    header()->setSortIndicator(column, order);
    sortItems(column, order);
}

} // namespace platform
