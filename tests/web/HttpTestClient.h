#pragma once
// An HTTP client engine for tests: the document goes to memory (each new
// document replaces the last, as the tool's file does), and completions,
// relocations and trace lines are counted.  QORDEX_HTTP_TRACE=1 prints the
// trace while a test runs.

#include "platform/MessageLoop.h"
#include "web/HttpProt.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace qordex::test {

struct HttpTestClient {
    web::THttpCli cli;
    TMemoryStream doc;
    int done = 0;
    web::THttpRequest doneType = web::httpABORT;
    int doneErr = -1;
    int docBegins = 0;
    std::vector<std::string> moves;
    std::vector<std::string> trace;

    HttpTestClient() {
        cli.OnDocBegin = [this](web::THttpCli* c) {
            ++docBegins;
            doc.SetSize(0);
            doc.Seek(0);
            c->SetRcvdStream(&doc);
        };
        cli.OnDocEnd = [](web::THttpCli* c) { c->SetRcvdStream(nullptr); };
        cli.OnRequestDone = [this](web::THttpCli*, web::THttpRequest t, std::uint16_t e) {
            ++done;
            doneType = t;
            doneErr = e;
        };
        cli.OnLocationChange = [this](web::THttpCli* c) { moves.push_back(c->Location()); };
        cli.OnTrace = [this](web::THttpCli*, web::THttpTrace, const std::string& l) {
            trace.push_back(l);
            if (std::getenv("QORDEX_HTTP_TRACE"))
                std::fprintf(stderr, "trace: %s\n", l.c_str());
        };
    }
    // Starts a GET and waits for its OnRequestDone.
    bool Get(const std::string& url, const std::string& ver = "1.0") {
        cli.SetURL(url);
        cli.SetRequestVer(ver);
        const int before = done;
        cli.GetAsync();
        return PumpUntil([&] { return done > before; }, 20000);
    }
    // The blocking form; a failure's exception is left to StatusCode.
    bool Run(web::THttpRequest rq, const std::string& url, const std::string& ver = "1.0") {
        cli.SetURL(url);
        cli.SetRequestVer(ver);
        const int before = done;
        try {
            rq == web::httpHEAD ? cli.Head() : cli.Get();
        } catch (const web::EHttpException&) {
        }
        return PumpUntil([&] { return done > before; }, 20000);
    }
    std::string Doc() const { return doc.Bytes(); }
    bool Traced(const std::string& line) const {
        return std::find(trace.begin(), trace.end(), line) != trace.end();
    }
};

} // namespace qordex::test
