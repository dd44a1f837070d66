#include "web/HttpContCod.h"

#include "base/Text.h"

#include <algorithm>
#include <cmath>

namespace qordex::web {

std::string CodingFromClassName(std::string_view className) {
    static constexpr std::string_view prefix = "THttpContentCoding";
    if (className.size() <= prefix.size() || className.substr(0, prefix.size()) != prefix)
        throw EHttpContentCodingException("GetCoding must be overriden in " +
                                          std::string(className));
    return std::string(className.substr(prefix.size()));
}

TContCodingsList::TContCodingsList() {
    Register<THttpCCodIdentity>(0);
    Register<THttpCCodStar>(0);
}

TContCodingsList& TContCodingsList::Instance() {
    static TContCodingsList list;
    return list;
}

void TContCodingsList::Remove(std::string_view className) {
    std::erase_if(items_, [&](const auto& c) { return c->className == className; });
}

std::string FormatQuality(float q) {
    // Whole thousandths, then the trailing zeros and a bare point go.
    const long long thousandths = std::llround(double(q) * 1000.0);
    std::string s = std::to_string(thousandths / 1000);
    const long long frac = std::llabs(thousandths % 1000);
    if (frac != 0) {
        std::string digits = std::to_string(frac);
        digits.insert(0, 3 - digits.size(), '0');
        while (digits.back() == '0')
            digits.pop_back();
        s += "." + digits;
    }
    return s;
}

THttpContCodHandler::THttpContCodHandler(std::function<TStream*()> stream, TWriteBufferFn output)
    : stream_(std::move(stream)), output_(std::move(output)) {
    for (const auto& c : TContCodingsList::Instance().Items())
        items_.push_back({c, true, c->quality});
    input_ = [this](const char* d, std::size_t n) { DirectWrite(d, n); };
}

THttpContCodHandler::~THttpContCodHandler() = default;

void THttpContCodHandler::SetUseQuality(bool v) {
    if (v != useQuality_)
        headerValid_ = false;
    useQuality_ = v;
}

const std::string& THttpContCodHandler::HeaderValue() {
    if (!enabled_) {
        static const std::string none;
        return none;
    }
    if (headerValid_)
        return header_;
    header_.clear();
    int usable = 0;
    for (const TItem& it : items_)
        usable += it.Enabled && it.cls->active();
    const bool withQuality = useQuality_ && usable >= 2;
    for (const TItem& it : items_) {
        if (!it.Enabled || !it.cls->active())
            continue;
        std::string item = it.cls->coding;
        if (withQuality)
            item += ";q=" + FormatQuality(it.Quality);
        else if (it.Quality <= 0)
            continue;
        header_ = header_.empty() ? item : header_ + ", " + item;
    }
    headerValid_ = true;
    return header_;
}

void THttpContCodHandler::Prepare(std::string_view contentEncoding) {
    chain_.clear();
    streamOk_ = true;
    input_ = [this](const char* d, std::size_t n) { DirectWrite(d, n); };
    if (!enabled_ || contentEncoding.empty())
        return;
    std::vector<std::string> names;
    std::string name;
    for (char c : contentEncoding) {
        if (c == ',' || IsAsciiSpace(c)) {
            if (!name.empty())
                names.push_back(std::move(name));
            name.clear();
        } else {
            name += c;
        }
    }
    if (!name.empty())
        names.push_back(std::move(name));
    for (const std::string& n : names) {
        auto it = std::find_if(items_.rbegin(), items_.rend(),
                               [&](const TItem& i) { return EqualsIgnoreCase(i.cls->coding, n); });
        if (it == items_.rend()) {
            // A coding we cannot decode: the body is delivered as received.
            chain_.clear();
            input_ = [this](const char* d, std::size_t len) { DirectWrite(d, len); };
            return;
        }
        chain_.push_back(it->cls->create(input_));
        THttpContentCoding* dec = chain_.back().get();
        input_ = [dec](const char* d, std::size_t len) { dec->WriteBuffer(d, len); };
    }
}

void THttpContCodHandler::Write(const char* data, std::size_t len) {
    input_(data, len);
}

void THttpContCodHandler::Complete() {
    for (auto it = chain_.rbegin(); it != chain_.rend(); ++it)
        (*it)->Complete();
}

void THttpContCodHandler::DirectWrite(const char* data, std::size_t len) {
    if (TStream* s = stream_()) {
        if (s->Write(data, static_cast<long long>(len)) != static_cast<long long>(len))
            streamOk_ = false;
    }
    if (output_)
        output_(data, len);
}

} // namespace qordex::web
