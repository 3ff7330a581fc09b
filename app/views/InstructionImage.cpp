#include "app/views/InstructionImage.h"

#include <QPainter>
#include <algorithm>
#include <cmath>

#include "platform/log/Log.h"

namespace app {

InstructionImage::InstructionImage(const QString& name, qreal maxSize, qreal maxPercentage,
                                   QWidget* parent)
    : InstructionImage(name, named(name), maxSize, maxPercentage, parent) {}

InstructionImage::InstructionImage(const QString& name, const QPixmap& image, qreal maxSize,
                                   qreal maxPercentage, QWidget* parent)
    : QWidget(parent), name_(name), image_(image) {
  setObjectName(QStringLiteral("instructionImage_") + name);
  const qreal w =
      image_.isNull() ? maxSize : maxPercentage * image_.deviceIndependentSize().width();
  widthBound_ = maxSize < w ? maxSize : w;
  if (!std::isfinite(widthBound_) || widthBound_ < 0) {
    // No usable bound: the frame is left unconstrained, as a layout engine does with it.
    os_log(OS_LOG_DEFAULT, "Contradictory frame constraints specified.");
    widthBound_ = QWIDGETSIZE_MAX;
  }
  setMaximumWidth(static_cast<int>(std::min<qreal>(std::ceil(widthBound_), QWIDGETSIZE_MAX)));
  QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Fixed);
  policy.setHeightForWidth(true);
  setSizePolicy(policy);
}

QPixmap InstructionImage::named(const QString& name) {
  QPixmap image(QStringLiteral(":/images/") + name + QStringLiteral("@2x.png"));
  if (!image.isNull()) {
    image.setDevicePixelRatio(2.0);
    return image;
  }
  return QPixmap(QStringLiteral(":/images/") + name + QStringLiteral(".png"));
}

bool InstructionImage::hasHeightForWidth() const {
  return true;
}

int InstructionImage::heightForWidth(int width) const {
  if (image_.isNull()) return 0;
  const QSizeF natural = image_.deviceIndependentSize();
  const qreal shown = std::min<qreal>(width, widthBound_);
  return static_cast<int>(std::lround(shown * natural.height() / natural.width()));
}

QSize InstructionImage::sizeHint() const {
  const int width = widthBound_ >= QWIDGETSIZE_MAX
                        ? static_cast<int>(image_.deviceIndependentSize().width())
                        : static_cast<int>(std::ceil(widthBound_));
  return {width, heightForWidth(width)};
}

QSize InstructionImage::minimumSizeHint() const {
  return {0, 0};
}

QRect InstructionImage::imageRect() const {
  if (image_.isNull()) return {};
  const QSizeF natural = image_.deviceIndependentSize();
  const QSizeF fitted =
      natural.scaled(QSizeF(std::min<qreal>(width(), widthBound_), height()), Qt::KeepAspectRatio);
  const QSize size(static_cast<int>(std::lround(fitted.width())),
                   static_cast<int>(std::lround(fitted.height())));
  return QRect(QPoint((width() - size.width()) / 2, (height() - size.height()) / 2), size);
}

void InstructionImage::paintEvent(QPaintEvent*) {
  const QRect target = imageRect();
  if (target.isEmpty()) return;
  const qreal ratio = devicePixelRatioF();
  const QSize pixels(static_cast<int>(std::lround(target.width() * ratio)),
                     static_cast<int>(std::lround(target.height() * ratio)));
  if (scaled_.size() != pixels) {
    scaled_ = image_.scaled(pixels, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    scaled_.setDevicePixelRatio(ratio);
  }
  QPainter painter(this);
  painter.drawPixmap(target.topLeft(), scaled_);
}

}  // namespace app
