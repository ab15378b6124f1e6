#pragma once

#include <QColor>
#include <QTreeWidget>

#include <functional>

class QPainter;

namespace platform {

// A drawing surface handed to paint hooks, with its own drawing colour.
class Graphics {
public:
    Graphics(QPainter& painter, int width, int height);

    QColor ForeColor() const { return foreColor_; }
    void setForeColor(const QColor& color) { foreColor_ = color; }
    void FillRect(int x, int y, int width, int height);
    int Width() const { return width_; }
    int Height() const { return height_; }

private:
    QPainter& painter_;
    QColor foreColor_ = Qt::black;
    int width_;
    int height_;
};

// A multi-column list of text rows. Row indices are display positions. Rows added while a
// sort column is set go at the end, and the heading's sort arrow goes until setting
// HeadingIndex sorts them again. A row's tooltip shows each of its cells whole, one a line.
class Listbox : public QTreeWidget {
    Q_OBJECT
public:
    // initialValue: the tab-separated headings; columnWidths: e.g. "56%, 115%" of the width.
    Listbox(QWidget* parent, const QRect& geometry, const QString& initialValue,
            const QString& columnWidths);

    void AddRow(const QString& text);
    int LastIndex() const;
    QString Cell(int row, int column) const;
    void setCell(int row, int column, const QString& text);
    QString List(int row) const { return Cell(row, 0); }
    int ListCount() const { return topLevelItemCount(); }
    bool Selected(int row) const;
    void setSelected(int row, bool selected);
    int SelCount() const;
    void RemoveRow(int row);
    void DeleteAllRows();
    void setHeadingIndex(int column);

    // Paint hooks, called for every cell drawn; returning false lets the list go on with its
    // own drawing. The cell's text is then drawn in the surface's current colour.
    std::function<bool(Graphics& g, int row, int column)> CellBackgroundPaint;
    std::function<bool(Graphics& g, int row, int column, int x, int y)> CellTextPaint;

private:
    QTreeWidgetItem* rowItem(int row) const;
    void sortBy(int column, Qt::SortOrder order);

    QTreeWidgetItem* lastAdded_ = nullptr;
    int headingIndex_ = -1;
};

} // namespace platform
