#pragma once

#include "model/Records.h"

#include <QHash>
#include <QList>
#include <QPointer>
#include <QRectF>
#include <QSet>
#include <QUuid>
#include <QWidget>
#include <optional>

// The entry rows of the dictionary page. Rows are painted, and only those in view, so a lexicon of thousands
// of terms costs what a screenful does; the one inline editor is a real widget standing in its entry's row.
class DictionaryEntryList final : public QWidget {
    Q_OBJECT
public:
    // What a click on a row hits.
    enum class Part { row, checkbox, edit, remove };

    // Where each part of a row goes and what it reads, at a given width.
    struct RowLayout {
        QRectF frame;
        std::optional<QRectF> checkbox;
        QRectF term;
        QString termText; // elided to fit
        std::optional<QRectF> pinBadge;
        QRectF phonetic;
        QString phoneticText;
        QList<QRectF> chips;
        QStringList chipTexts;
        std::optional<QRectF> more;
        QString moreText;
        QRectF category;
        QRectF edit;
        QRectF remove;
    };

    explicit DictionaryEntryList(QWidget* parent = nullptr);

    // The rows to show, in order.
    void setEntries(QList<LexiconEntry> entries);
    // Lets go of the rows for a change of the list they share, until setEntries() brings them back; the
    // list is not laid out or painted meanwhile.
    void releaseEntries();
    void setBatchMode(bool on);
    void setSelection(const QSet<QUuid>& selected);
    // Shows `editor` in the row of entry `id`, or nowhere while that entry is not among the rows. The list
    // takes the editor as its child; nullptr closes it.
    void setEditor(QWidget* editor, const QUuid& id);
    QWidget* editor() const { return m_editor; }

    int rowCount() const { return int(m_entries.size()); }
    const LexiconEntry& entryAt(int row) const { return m_entries[row]; }
    // -1 when the entry is not shown.
    int rowOf(const QUuid& id) const;
    QRect rowRect(int row) const;
    RowLayout rowLayout(int row) const;
    // The centre of a part of a row, where a click lands on it.
    QPoint partCenter(int row, Part part) const;

    static qreal rowHeight();

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

Q_SIGNALS:
    void partClicked(const QUuid& id, DictionaryEntryList::Part part);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    struct Hit {
        int row = -1;
        Part part = Part::row;
    };
    Hit hitAt(const QPointF& point) const;
    // The row whose place holds height y (the nearest one above or below the list's ends).
    int rowAtY(int y) const;
    int editorRow() const;
    int editorHeight() const;
    int rowTop(int row) const;
    int totalHeight() const;
    void relayout();
    void paintRow(QPainter& painter, int row) const;

    QList<LexiconEntry> m_entries;
    bool m_batchMode = false;
    QSet<QUuid> m_selected;
    QPointer<QWidget> m_editor;
    QUuid m_editorId;
    int m_editorRow = -1; // of m_editorId among m_entries
    std::optional<Hit> m_pressed;
};
