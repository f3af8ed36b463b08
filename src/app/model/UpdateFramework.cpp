#include "app/model/UpdateFramework.h"

namespace corvane::app {

UpdateFrameworkFactory platformUpdateFramework() {
  return [](UpdateFrameworkDelegate&) { return std::unique_ptr<UpdateFramework>(); };
}

}  // namespace corvane::app
