#include "app/vigil_endpointApp.h"

int main(int argc, char** argv) {
  return app::vigil_endpointApp::main(argc, argv);
}
