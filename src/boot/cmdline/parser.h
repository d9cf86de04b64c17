// A small parser of typed command-line options over wide (UTF-16) text.
//
// Options are declared with add<T>(), the whole argument vector is handed to parse(), and each option is
// then asked whether it was given and for its value. The parser never prints and never throws for bad
// input: every problem becomes one message in errors(), and parsing goes on wherever it can.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <span>
#include <sstream>
#include <string>
#include <typeinfo>
#include <vector>

namespace cmdline {

// Reads one T from the whole text as a wide input stream would: leading white space is skipped, an
// optional sign is taken, and the text must be consumed to its end. Throws std::bad_cast otherwise.
template <typename T>
struct default_reader {
  T operator()(const std::u16string& text) const {
    std::wistringstream stream(std::wstring(text.begin(), text.end()));
    T value{};
    stream >> value;
    if (stream.fail() || stream.bad() || !stream.eof()) throw std::bad_cast();
    return value;
  }
};

class parser {
 public:
  class option_base {
   public:
    virtual ~option_base() = default;
    virtual bool takes_value() const = 0;
    // Stores a value given as text; false when the text is rejected.
    virtual bool set(const std::u16string& text) = 0;
    // Marks the option as given without a value; false when it needs one.
    virtual bool set() = 0;
    virtual bool was_given() const = 0;
    virtual bool is_satisfied() const = 0;
    virtual bool is_required() const = 0;
    virtual const std::u16string& name() const = 0;
    virtual char16_t short_name() const = 0;
    virtual const std::u16string& description() const = 0;
    virtual std::u16string usage_text() const = 0;
  };

  template <typename T>
  class option_with_value : public option_base {
   public:
    option_with_value(std::u16string name, char16_t short_name, bool required, std::u16string description,
                      T default_value)
        : name_(std::move(name)),
          short_name_(short_name),
          required_(required),
          description_(std::move(description)),
          default_value_(default_value),
          value_(default_value) {}

    bool takes_value() const override { return true; }
    bool set() override { return false; }
    bool set(const std::u16string& text) override {
      try {
        value_ = convert(text);
      } catch (const std::exception&) {
        return false;  // value and given flag stay as they were
      }
      given_ = true;
      return true;
    }
    bool was_given() const override { return given_; }
    bool is_satisfied() const override { return !required_ || given_; }
    bool is_required() const override { return required_; }
    const std::u16string& name() const override { return name_; }
    char16_t short_name() const override { return short_name_; }
    const std::u16string& description() const override { return description_; }
    std::u16string usage_text() const override {
      std::u16string text = u"--" + name_ + u"=<value>";
      if (short_name_ != 0) text += std::u16string(u", -") + short_name_ + u" <value>";
      if (!description_.empty()) text += u"  " + description_;
      return text;
    }

    const T& value() const { return value_; }

   protected:
    virtual T convert(const std::u16string& text) = 0;

   private:
    std::u16string name_;
    char16_t short_name_;
    bool required_;
    std::u16string description_;
    bool given_ = false;
    T default_value_;
    T value_;
  };

  template <typename T, typename Reader>
  class option_with_value_with_reader : public option_with_value<T> {
   public:
    using option_with_value<T>::option_with_value;

   protected:
    T convert(const std::u16string& text) override { return Reader()(text); }
  };

  // Declares a typed option. A name that is already declared keeps its first declaration.
  template <typename T>
  void add(const std::u16string& name, char16_t short_name = 0, const std::u16string& description = u"",
           bool required = true, T default_value = T()) {
    if (options_.contains(name)) return;
    options_.emplace(name, std::make_unique<option_with_value_with_reader<T, default_reader<T>>>(
                               name, short_name, required, description, default_value));
  }

  // Parses an argument vector whose first element is the program path. True when no error arose.
  bool parse(std::span<const std::u16string> arguments);

  // False for an undeclared name.
  bool given(const std::u16string& name) const;

  // The option's current value (its default when not given); empty for an undeclared name or a T other
  // than the declared one.
  template <typename T>
  std::optional<T> value(const std::u16string& name) const {
    const auto found = options_.find(name);
    if (found == options_.end()) return std::nullopt;
    const auto* typed = dynamic_cast<const option_with_value<T>*>(found->second.get());
    if (typed == nullptr) return std::nullopt;
    return typed->value();
  }

  const std::vector<std::u16string>& errors() const { return error_list_; }
  const std::vector<std::u16string>& free_args() const { return free_args_; }

 private:
  void set_without_value(const std::u16string& name);
  void set_from_text(const std::u16string& name, const std::u16string& text);
  void parse_short_options(std::span<const std::u16string> arguments, std::size_t& index);

  // Ordered by UTF-16 code units, which is the order "need option" errors are reported in.
  std::map<std::u16string, std::unique_ptr<option_base>> options_;
  std::vector<std::u16string> free_args_;
  std::vector<std::u16string> error_list_;
  std::map<char16_t, std::u16string> short_names_;  // an empty name marks an ambiguous short name
};

}  // namespace cmdline
