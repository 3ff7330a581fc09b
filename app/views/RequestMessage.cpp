#include "app/views/RequestMessage.h"

namespace app {

RequestMessage::RequestMessage(RequestActivity::Operation operation, QWidget* parent)
    : QLabel(parent), operation_(operation) {
  setWordWrap(true);
  setTextFormat(Qt::PlainText);
  setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  setTextInteractionFlags(Qt::TextSelectableByMouse);
  refresh();
  activity_ = std::make_unique<ObservedObject>(this, RequestActivity::shared().objectWillChange(),
                                               [this] { refresh(); });
}

void RequestMessage::refresh() {
  const RequestActivity& activity = RequestActivity::shared();
  const bool ours = activity.operation() == operation_;
  const bool failed = ours && activity.phase() == RequestActivity::Phase::failed;
  setText(ours ? QString::fromStdString(activity.message()) : QString());
  setProperty("phase", ours ? static_cast<int>(activity.phase()) : 0);
  setStyleSheet(failed ? QStringLiteral("color: #b3261e;") : QString());
  setVisible(ours && !activity.message().empty());
}

}  // namespace app
