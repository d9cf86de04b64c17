#include "boot/cmdline/parser.h"

namespace cmdline {

bool parser::parse(std::span<const std::u16string> arguments) {
  error_list_.clear();
  free_args_.clear();
  if (arguments.empty()) {
    error_list_.push_back(u"argument number must be longer than 0");
    return false;
  }

  short_names_.clear();
  for (const auto& [name, option] : options_) {
    if (name.empty() || option->short_name() == 0) continue;
    const char16_t short_name = option->short_name();
    if (const auto [entry, inserted] = short_names_.emplace(short_name, name); !inserted) {
      entry->second.clear();
      error_list_.push_back(u"short option '" + std::u16string(1, short_name) + u"' is ambiguous");
      return false;
    }
  }

  for (std::size_t i = 1; i < arguments.size(); ++i) {
    const std::u16string& argument = arguments[i];
    if (argument.starts_with(u"--")) {
      const std::u16string rest = argument.substr(2);
      if (const auto equals = rest.find(u'='); equals != std::u16string::npos) {
        set_from_text(rest.substr(0, equals), rest.substr(equals + 1));
        continue;
      }
      const auto found = options_.find(rest);
      if (found == options_.end()) {
        error_list_.push_back(u"undefined option: --" + rest);
      } else if (found->second->takes_value()) {
        if (i + 1 >= arguments.size()) {
          error_list_.push_back(u"option needs value: --" + rest);
        } else {
          set_from_text(rest, arguments[++i]);  // taken as the value whatever it looks like
        }
      } else {
        set_without_value(rest);
      }
    } else if (argument.starts_with(u"-")) {
      parse_short_options(arguments, i);
    } else {
      free_args_.push_back(argument);
    }
  }

  for (const auto& [name, option] : options_) {
    if (!option->is_satisfied()) error_list_.push_back(u"need option: --" + name);
  }
  return error_list_.empty();
}

void parser::parse_short_options(std::span<const std::u16string> arguments, std::size_t& index) {
  const std::u16string& argument = arguments[index];
  if (argument.size() == 1) return;  // a lone "-" means nothing

  // The long name of a short option, or nothing after recording why it cannot be used.
  const auto resolve = [this](char16_t c) -> const std::u16string* {
    const auto found = short_names_.find(c);
    if (found == short_names_.end()) {
      error_list_.push_back(u"undefined short option: -" + std::u16string(1, c));
      return nullptr;
    }
    if (found->second.empty()) {
      error_list_.push_back(u"ambiguous short option: -" + std::u16string(1, c));
      return nullptr;
    }
    return &found->second;
  };

  for (std::size_t k = 1; k + 1 < argument.size(); ++k) {
    if (const std::u16string* name = resolve(argument[k])) set_without_value(*name);
  }
  const std::u16string* last = resolve(argument.back());
  if (last == nullptr) return;
  if (index + 1 < arguments.size() && options_.at(*last)->takes_value()) {
    set_from_text(*last, arguments[++index]);
  } else {
    set_without_value(*last);
  }
}

bool parser::given(const std::u16string& name) const {
  const auto found = options_.find(name);
  return found != options_.end() && found->second->was_given();
}

void parser::set_without_value(const std::u16string& name) {
  const auto found = options_.find(name);
  if (found == options_.end()) {
    error_list_.push_back(u"undefined option: --" + name);
  } else if (!found->second->set()) {
    error_list_.push_back(u"option needs value: --" + name);
  }
}

void parser::set_from_text(const std::u16string& name, const std::u16string& text) {
  const auto found = options_.find(name);
  if (found == options_.end()) {
    error_list_.push_back(u"undefined option: --" + name);
  } else if (!found->second->set(text)) {
    error_list_.push_back(u"option value is invalid: --" + name + u"=" + text);
  }
}

}  // namespace cmdline
