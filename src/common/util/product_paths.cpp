#include "common/util/product_paths.h"

ProductPaths& ProductPaths::Instance() {
  static ProductPaths instance;
  return instance;
}

std::u16string ProductPaths::KeyFor(int kind) const { return kind == 0 ? product_key_ : std::u16string(); }
