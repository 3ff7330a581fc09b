// One illustration of the instructions: shown no wider than the smaller of maxSize and
// maxPercentage of its natural width, scaled keeping its aspect, shrinking with a narrower pane.
// A missing image leaves an empty area bounded the same way.
#pragma once

#include <QPixmap>
#include <QString>
#include <QWidget>

namespace app {

class InstructionImage : public QWidget {
 public:
  InstructionImage(const QString& name, qreal maxSize, qreal maxPercentage,
                   QWidget* parent = nullptr);
  // With the image given instead of looked up by name (a null pixmap is a missing image).
  InstructionImage(const QString& name, const QPixmap& image, qreal maxSize, qreal maxPercentage,
                   QWidget* parent = nullptr);

  // The application's image resource of that name, or a null pixmap. A "@2x" variant is
  // preferred and counts at half its pixel size.
  static QPixmap named(const QString& name);

  const QString& name() const { return name_; }
  bool hasImage() const { return !image_.isNull(); }
  // The bound W of the displayed width, in device-independent pixels.
  qreal widthBound() const { return widthBound_; }
  // Where the image is drawn inside the widget (empty for a missing image).
  QRect imageRect() const;

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;
  bool hasHeightForWidth() const override;
  int heightForWidth(int width) const override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QString name_;
  QPixmap image_;
  qreal widthBound_ = 0;
  mutable QPixmap scaled_;  // the image at its current size, for a sharp downscale
};

}  // namespace app
