#pragma once

// A BLE central for Linux with SimpleBLE's C++ interface (the part of it that
// libtavoble uses), implemented on BlueZ's D-Bus API. Code written against it
// compiles unchanged against an installed SimpleBLE 1.x.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace SimpleBLE {

using BluetoothAddress = std::string;
using BluetoothUUID = std::string;

// Bytes of a characteristic value. Converts to and from std::string and
// std::vector<uint8_t>, so code written for either representation works.
class ByteArray {
  public:
    ByteArray() = default;
    ByteArray(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}
    ByteArray(std::vector<uint8_t>&& bytes) noexcept : bytes_(std::move(bytes)) {}
    ByteArray(const uint8_t* bytes, size_t size) : bytes_(bytes, bytes + size) {}
    ByteArray(const std::string& bytes) : bytes_(bytes.begin(), bytes.end()) {}
    ByteArray(const char* bytes) : ByteArray(std::string(bytes)) {}
    ByteArray(std::initializer_list<uint8_t> bytes) : bytes_(bytes) {}

    operator std::string() const { return std::string(bytes_.begin(), bytes_.end()); }
    operator std::vector<uint8_t>() const { return bytes_; }

    size_t size() const { return bytes_.size(); }
    bool empty() const { return bytes_.empty(); }
    const uint8_t* data() const { return bytes_.data(); }
    uint8_t* data() { return bytes_.data(); }
    uint8_t operator[](size_t index) const { return bytes_[index]; }
    uint8_t& operator[](size_t index) { return bytes_[index]; }
    std::vector<uint8_t>::const_iterator begin() const { return bytes_.begin(); }
    std::vector<uint8_t>::const_iterator end() const { return bytes_.end(); }
    std::vector<uint8_t>::iterator begin() { return bytes_.begin(); }
    std::vector<uint8_t>::iterator end() { return bytes_.end(); }
    void push_back(uint8_t byte) { bytes_.push_back(byte); }

    bool operator==(const ByteArray& other) const { return bytes_ == other.bytes_; }
    bool operator!=(const ByteArray& other) const { return bytes_ != other.bytes_; }

  private:
    std::vector<uint8_t> bytes_;
};

namespace Exception {

class BaseException : public std::runtime_error {
  public:
    explicit BaseException(const std::string& what) : std::runtime_error(what) {}
};

class NotInitialized : public BaseException {
  public:
    NotInitialized() : BaseException("Object has not been initialized.") {}
};

class NotConnected : public BaseException {
  public:
    NotConnected() : BaseException("Peripheral is not connected.") {}
};

class InvalidReference : public BaseException {
  public:
    InvalidReference() : BaseException("Underlying reference to object is invalid.") {}
};

class ServiceNotFound : public BaseException {
  public:
    explicit ServiceNotFound(const BluetoothUUID& uuid)
        : BaseException("Service with UUID " + uuid + " not found.") {}
};

class CharacteristicNotFound : public BaseException {
  public:
    explicit CharacteristicNotFound(const BluetoothUUID& uuid)
        : BaseException("Characteristic with UUID " + uuid + " not found") {}
};

class OperationNotSupported : public BaseException {
  public:
    OperationNotSupported() : BaseException("The requested operation is not supported.") {}
};

class OperationFailed : public BaseException {
  public:
    OperationFailed() : BaseException("The requested operation has failed.") {}
    explicit OperationFailed(const std::string& message)
        : BaseException("Operation Failed: " + message) {}
};

}  // namespace Exception

class BluezAdapter;
class BluezPeripheral;
struct ServiceData;
struct CharacteristicData;

class Characteristic {
  public:
    Characteristic() = default;
    explicit Characteristic(std::shared_ptr<const CharacteristicData> data);

    BluetoothUUID uuid();
    // Some of "read", "write_request", "write_command", "notify", "indicate".
    std::vector<std::string> capabilities();
    bool can_read();
    bool can_write_request();
    bool can_write_command();
    bool can_notify();
    bool can_indicate();
    bool initialized() const { return data_ != nullptr; }

  private:
    std::shared_ptr<const CharacteristicData> data_;
};

class Service {
  public:
    Service() = default;
    explicit Service(std::shared_ptr<const ServiceData> data);

    BluetoothUUID uuid();
    std::vector<Characteristic> characteristics();
    bool initialized() const { return data_ != nullptr; }

  private:
    std::shared_ptr<const ServiceData> data_;
};

// A handle to one remote device; copies share the device.
class Peripheral {
  public:
    Peripheral() = default;
    explicit Peripheral(std::shared_ptr<BluezPeripheral> internal);

    // The advertised name, possibly empty.
    std::string identifier();
    BluetoothAddress address();
    int16_t rssi();

    bool is_connectable();
    bool is_connected();
    // Returns once connected with services resolved; throws OperationFailed
    // when that does not happen within about 10 s.
    void connect();
    void disconnect();

    std::vector<Service> services();

    ByteArray read(BluetoothUUID const& service, BluetoothUUID const& characteristic);
    // The callback runs on a thread of this subscription's own, one
    // notification after the other, never two at once; it should return
    // promptly (values that come meanwhile wait on the bus).
    void notify(BluetoothUUID const& service, BluetoothUUID const& characteristic,
                std::function<void(ByteArray payload)> callback);
    // When it returns, the callback given to notify() is never called again and
    // is not running (a call still inside it is waited for, except from
    // inside that callback or from a connection callback).
    void unsubscribe(BluetoothUUID const& service, BluetoothUUID const& characteristic);

    void set_callback_on_connected(std::function<void()> on_connected);
    void set_callback_on_disconnected(std::function<void()> on_disconnected);

    bool initialized() const { return internal_ != nullptr; }

  private:
    BluezPeripheral& base();
    std::shared_ptr<BluezPeripheral> internal_;
};

// A handle to one host adapter; copies share the adapter.
class Adapter {
  public:
    Adapter() = default;
    explicit Adapter(std::shared_ptr<BluezAdapter> internal);

    // True when an adapter is powered; false without a bus or a Bluetooth service.
    static bool bluetooth_enabled();
    static std::vector<Adapter> get_adapters();

    std::string identifier();
    BluetoothAddress address();

    void scan_start();
    void scan_stop();
    bool scan_is_active();

    // The devices of this adapter that BlueZ holds a link to now, whoever
    // made it (they do not advertise while connected).
    std::vector<Peripheral> get_connected_peripherals();

    // Both run on the central's event thread; an empty function removes them.
    void set_callback_on_scan_start(std::function<void()> on_scan_start);
    void set_callback_on_scan_stop(std::function<void()> on_scan_stop);
    void set_callback_on_scan_found(std::function<void(Peripheral)> on_scan_found);
    void set_callback_on_scan_updated(std::function<void(Peripheral)> on_scan_updated);

    bool initialized() const { return internal_ != nullptr; }

  private:
    BluezAdapter& base();
    std::shared_ptr<BluezAdapter> internal_;
};

}  // namespace SimpleBLE
