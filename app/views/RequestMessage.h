// The line beside the Install or Remove button: what the last request of that kind is doing,
// what an administrator's approval will lead to, or why it failed. Empty until such a request
// is made from this or any window.
#pragma once

#include <QLabel>
#include <memory>

#include "app/install/RequestActivity.h"
#include "app/views/ObservedObject.h"

namespace app {

class RequestMessage : public QLabel {
 public:
  RequestMessage(RequestActivity::Operation operation, QWidget* parent = nullptr);

 private:
  void refresh();

  RequestActivity::Operation operation_;
  std::unique_ptr<ObservedObject> activity_;
};

}  // namespace app
