#include "cache/sign_on_encoding.h"


namespace turnpike {
namespace {

constexpr std::size_t kTimeSize = 8;
constexpr std::size_t kLengthSize = 4;

void AppendNumber(std::string& value, std::uint64_t number, std::size_t bytes) {
  for (std::size_t byte = 0; byte < bytes; ++byte) {
    value.push_back(static_cast<char>((number >> (8 * byte)) & 0xFF));
  }
}

void AppendField(std::string& value, std::string_view field) {
  AppendNumber(value, field.size(), kLengthSize);
  value.append(field);
}

// Reads fields from the front of a value; any read past its end fails, and
// every later read fails too.
class Reader {
 public:
  explicit Reader(std::string_view value) noexcept : rest_(value) {}

  bool Number(std::size_t bytes, std::uint64_t& number) noexcept {
    if (rest_.size() < bytes) return false;
    number = 0;
    for (std::size_t byte = bytes; byte-- > 0;) {
      number = number << 8 | static_cast<unsigned char>(rest_[byte]);
    }
    rest_.remove_prefix(bytes);
    return true;
  }

  bool Field(std::string& field) {
    std::uint64_t length = 0;
    if (!Number(kLengthSize, length) || length > rest_.size()) return false;
    field.assign(rest_.substr(0, static_cast<std::size_t>(length)));
    rest_.remove_prefix(static_cast<std::size_t>(length));
    return true;
  }

  // A count of items that each take at least `least_bytes`: one larger than
  // what is left could hold is refused before anything is made for it.
  bool Count(std::size_t least_bytes, std::uint64_t& count) noexcept {
    return Number(kLengthSize, count) && count <= rest_.size() / least_bytes;
  }

  std::string_view rest() const noexcept { return rest_; }

 private:
  std::string_view rest_;
};

std::size_t EncodedSize(const SignOn& sign_on) noexcept {
  std::size_t size = 1 + kTimeSize + kLengthSize + sign_on.user.size() + kLengthSize;
  for (const SignOnAttribute& attribute : sign_on.attributes) {
    size += 2 * kLengthSize + attribute.name.size();
    for (const std::string& value : attribute.values) size += kLengthSize + value.size();
    // Far beyond any real attribute; stop before the sum could wrap.
    if (size > kMaxEncodedSignOnSize) return size;
  }
  return size;
}

bool ReadUserAndAttributes(Reader& reader, SignOn& sign_on) {
  std::uint64_t attributes = 0;
  if (!reader.Field(sign_on.user) || !reader.Count(2 * kLengthSize, attributes)) return false;
  sign_on.attributes.resize(static_cast<std::size_t>(attributes));
  for (SignOnAttribute& attribute : sign_on.attributes) {
    std::uint64_t values = 0;
    if (!reader.Field(attribute.name) || !reader.Count(kLengthSize, values)) return false;
    attribute.values.resize(static_cast<std::size_t>(values));
    for (std::string& value : attribute.values) {
      if (!reader.Field(value)) return false;
    }
  }
  return reader.rest().empty();
}

}  // namespace

std::optional<std::string> EncodeSignOn(const SignOn& sign_on) {
  if (sign_on.user.size() > kMaxStoredUserLength) return std::nullopt;
  std::string value;
  if (sign_on.attributes.empty()) {
    value.reserve(1 + kTimeSize + sign_on.user.size());
    value.push_back(static_cast<char>(kSignOnVersionUserOnly));
    AppendNumber(value, sign_on.validated, kTimeSize);
    value.append(sign_on.user);
    return value;
  }
  const std::size_t size = EncodedSize(sign_on);
  if (size > kMaxEncodedSignOnSize) return std::nullopt;
  value.reserve(size);
  value.push_back(static_cast<char>(kSignOnVersionWithAttributes));
  AppendNumber(value, sign_on.validated, kTimeSize);
  AppendField(value, sign_on.user);
  AppendNumber(value, sign_on.attributes.size(), kLengthSize);
  for (const SignOnAttribute& attribute : sign_on.attributes) {
    AppendField(value, attribute.name);
    AppendNumber(value, attribute.values.size(), kLengthSize);
    for (const std::string& attribute_value : attribute.values) AppendField(value, attribute_value);
  }
  return value;
}

std::optional<SignOn> DecodeSignOn(std::string_view value) {
  if (value.empty() || value.size() > kMaxEncodedSignOnSize) return std::nullopt;
  Reader reader(value.substr(1));
  SignOn sign_on;
  if (!reader.Number(kTimeSize, sign_on.validated)) return std::nullopt;
  switch (static_cast<std::uint8_t>(value[0])) {
    case kSignOnVersionUserOnly:
      sign_on.user.assign(reader.rest());
      break;
    case kSignOnVersionWithAttributes:
      if (!ReadUserAndAttributes(reader, sign_on)) return std::nullopt;
      break;
    default:
      return std::nullopt;
  }
  // What the encoder refuses to write is not read either.
  if (sign_on.user.size() > kMaxStoredUserLength) return std::nullopt;
  return sign_on;
}

std::string EncodeTicketIndex(const SignOnKey& entry) {
  std::string value(1, static_cast<char>(kSignOnVersionTicketIndex));
  value.append(reinterpret_cast<const char*>(entry.data()), entry.size());
  return value;
}

std::optional<SignOnKey> DecodeTicketIndex(std::string_view value) noexcept {
  SignOnKey key{};
  if (value.size() != 1 + key.size() || static_cast<std::uint8_t>(value[0]) != kSignOnVersionTicketIndex) {
    return std::nullopt;
  }
  for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(value[1 + i]);
  return key;
}

}  // namespace turnpike
