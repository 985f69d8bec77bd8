// TFlatProgressBar: the wizard's progress bars.
#pragma once

#include <QWidget>

class TFlatProgressBar : public QWidget {
    Q_OBJECT
public:
    explicit TFlatProgressBar(QWidget* parent = nullptr);

    int Min() const { return min_; }
    int Max() const { return max_; }
    int Position() const { return position_; }
    void SetMin(int min);
    void SetMax(int max);
    // A position beyond the maximum shows a full bar.
    void SetPosition(int position);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    int min_ = 0;
    int max_ = 100;
    int position_ = 0;
};
