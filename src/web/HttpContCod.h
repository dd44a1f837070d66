#pragma once
// Content codings of HTTP answers: the decoders a body passes through,
// chosen by its "Content-Encoding" header, and the "Accept-Encoding" value
// that announces them.  A registry (one per process) lists the decoder
// classes with their quality; each HTTP client owns a handler that builds
// the chain for one body and writes what comes out of it.

#include "base/Stream.h"

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace qordex::web {

class EHttpContentCodingException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Where a decoder writes: bytes in, nothing out.
using TWriteBufferFn = std::function<void(const char* data, std::size_t len)>;

// Base of all decoders, created with the writer it feeds.
class THttpContentCoding {
public:
    explicit THttpContentCoding(TWriteBufferFn output) : output_(std::move(output)) {}
    virtual ~THttpContentCoding() = default;

    // Class-level: the class name and whether the coding may be used.
    static const char* ClassName() { return "THttpContentCoding"; }
    static bool GetActive() { return true; }

    // The end of the body: flush what is held.
    virtual void Complete() {}
    // Decodes a block and passes the result on.
    virtual void WriteBuffer(const char* data, std::size_t len) = 0;

protected:
    void Output(const char* data, std::size_t len) { output_(data, len); }

private:
    TWriteBufferFn output_;
};

// The coding name a class declares by its name: what follows the
// "THttpContentCoding" prefix.  A class named otherwise must give its own;
// asking for it raises "GetCoding must be overriden in <class>".
std::string CodingFromClassName(std::string_view className);

// "identity" and "*": pass their input on unchanged.
class THttpCCodIdentity : public THttpContentCoding {
public:
    using THttpContentCoding::THttpContentCoding;
    static const char* ClassName() { return "THttpCCodIdentity"; }
    static std::string GetCoding() { return "identity"; }
    void WriteBuffer(const char* data, std::size_t len) override { Output(data, len); }
};

class THttpCCodStar : public THttpContentCoding {
public:
    using THttpContentCoding::THttpContentCoding;
    static const char* ClassName() { return "THttpCCodStar"; }
    static std::string GetCoding() { return "*"; }
    void WriteBuffer(const char* data, std::size_t len) override { Output(data, len); }
};

// A registered decoder class.
struct TContCodingClass {
    std::string className;
    std::string coding;
    std::function<bool()> active;
    std::function<std::unique_ptr<THttpContentCoding>(TWriteBufferFn)> create;
    float quality = 0;
};

// The process-wide registry, created at first use with identity and *.
class TContCodingsList {
public:
    static TContCodingsList& Instance();

    // T names itself with a static ClassName and may give a static GetCoding.
    template<class T> void Register(float quality) {
        std::string coding;
        if constexpr (requires { T::GetCoding(); })
            coding = T::GetCoding();
        else
            coding = CodingFromClassName(T::ClassName());
        Add({T::ClassName(), coding, [] { return T::GetActive(); },
             [](TWriteBufferFn out) { return std::make_unique<T>(std::move(out)); }, quality});
    }
    void Add(TContCodingClass c) {
        items_.push_back(std::make_shared<const TContCodingClass>(std::move(c)));
    }
    // Takes out every class of that name (for tests that register their own).
    void Remove(std::string_view className);
    const std::vector<std::shared_ptr<const TContCodingClass>>& Items() const { return items_; }

private:
    TContCodingsList();
    std::vector<std::shared_ptr<const TContCodingClass>> items_;
};

// One per HTTP client: builds the decoder chain for a body and writes its
// output to the stream (when there is one) and then to the output writer.
class THttpContCodHandler {
public:
    struct TItem {
        std::shared_ptr<const TContCodingClass> cls;
        bool Enabled = true;
        float Quality;
    };

    // `stream` is read at every write (the engine's receive stream may change).
    THttpContCodHandler(std::function<TStream*()> stream, TWriteBufferFn output);
    ~THttpContCodHandler();

    bool Enabled() const { return enabled_; }
    void SetEnabled(bool v) { enabled_ = v; }
    bool UseQuality() const { return useQuality_; }
    void SetUseQuality(bool v);
    std::vector<TItem>& Items() { return items_; }

    // The "Accept-Encoding" value; empty when nothing is to be announced.
    const std::string& HeaderValue();
    // A new body with this "Content-Encoding": builds the chain.
    void Prepare(std::string_view contentEncoding);
    // Body bytes as received.
    void Write(const char* data, std::size_t len);
    // The end of the body: every decoder completes, the last created first.
    void Complete();
    // False once a write to the stream fell short (a full disk).
    bool StreamOk() const { return streamOk_; }

private:
    void DirectWrite(const char* data, std::size_t len);

    std::function<TStream*()> stream_;
    TWriteBufferFn output_;
    bool enabled_ = false;
    bool useQuality_ = false;
    bool headerValid_ = false;
    bool streamOk_ = true;
    std::string header_;
    std::vector<TItem> items_;
    std::vector<std::unique_ptr<THttpContentCoding>> chain_;
    TWriteBufferFn input_;
};

// A quality as "0.###": at most three decimals, "." whatever the locale.
std::string FormatQuality(float q);

} // namespace qordex::web
