// Where the product keeps its settings in the registry.
#pragma once

#include <string>

class ProductPaths {
 public:
  // The process-wide holder, created on first use (thread-safe).
  static ProductPaths& Instance();

  // The product's key for kind 0, as a path below HKEY_CURRENT_USER. No one assigns it, so it is empty:
  // HKEY_CURRENT_USER itself. Other kinds have no key of their own and are empty too.
  [[nodiscard]] std::u16string KeyFor(int kind) const;

 private:
  ProductPaths() = default;

  std::u16string product_key_;
};
