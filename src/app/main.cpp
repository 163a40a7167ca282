#include "app/frontend.h"

int main(int argc, char** argv) {
  return app_main(argc, argv);
}
