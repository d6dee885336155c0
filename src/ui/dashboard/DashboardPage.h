#pragma once

#include <QWidget>

// A page of the main window, built when its tab is selected and dropped when another is. refresh() reads
// the state and changes only what differs; the shell calls it at most once per event-loop turn.
class DashboardPage : public QWidget {
    Q_OBJECT
public:
    using QWidget::QWidget;
    virtual void refresh() {}
};
