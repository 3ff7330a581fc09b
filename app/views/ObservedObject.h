// Redraws a widget after an observed object changed. Observers are told before the change, so
// the refresh is queued to run once the writer is done; several changes make one refresh.
#pragma once

#include <QMetaObject>
#include <QPointer>
#include <QWidget>
#include <functional>

#include "app/state/Observable.h"

namespace app {

class ObservedObject {
 public:
  ObservedObject(QWidget* owner, ObjectWillChangePublisher& publisher,
                 std::function<void()> refresh)
      : owner_(owner), refresh_(std::move(refresh)), subscription_(publisher.sink([this] {
          if (pending_ || !owner_) return;
          pending_ = true;
          QMetaObject::invokeMethod(
              owner_.data(),
              [this] {
                pending_ = false;
                refresh_();
              },
              Qt::QueuedConnection);
        })) {}
  ObservedObject(const ObservedObject&) = delete;
  ObservedObject& operator=(const ObservedObject&) = delete;

 private:
  QPointer<QWidget> owner_;
  std::function<void()> refresh_;
  bool pending_ = false;
  ObjectWillChangePublisher::Cancellable subscription_;
};

}  // namespace app
