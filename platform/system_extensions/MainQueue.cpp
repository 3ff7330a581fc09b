// The main queue is the Qt event loop of the application's main thread.
#include <QCoreApplication>
#include <QMetaObject>

#include "platform/system_extensions/SystemExtensions.h"

namespace {

class MainQueue final : public platform::dispatch::Queue {
 public:
  void async(std::function<void()> block) override {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) return;
    // Posted to the application object, so the block runs on the thread that owns it; blocks
    // still queued when it is destroyed are discarded.
    QMetaObject::invokeMethod(app, std::move(block), Qt::QueuedConnection);
  }
};

}  // namespace

dispatch_queue_t dispatch_get_main_queue() {
  static const dispatch_queue_t queue = std::make_shared<MainQueue>();
  return queue;
}
