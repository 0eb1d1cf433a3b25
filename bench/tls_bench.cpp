// Times the TLS work decryption adds, all in memory on one thread:
//  - "baseline": a full handshake between two plain OpenSSL sessions with a fixed certificate;
//  - "cached": the same with Kestrune's browser-side session choosing its cached leaf by SNI,
//    and the browser-side work alone (what a decrypted tunnel adds before the origin's handshake);
//  - "mint": making a new leaf for a new name.
// Usage: tls_bench [ROUNDS]   (prints medians in milliseconds)
#include "tls/CertAuthority.h"
#include "tls/LeafCache.h"
#include "tls/TlsClientContext.h"
#include "tls/TlsServerContext.h"
#include "tls/TlsSession.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

// Runs the handshake; returns the time spent inside the browser-side (server) calls.
double Handshake(CTlsSession& server, CTlsSession& client)
{
    Clock::duration serverTime{};
    for (int round = 0; round < 100; ++round) {
        const std::string toServer = client.TakeCiphertext();
        const std::string toClient = server.TakeCiphertext();
        if (toServer.empty() && toClient.empty())
            break;
        const auto start = Clock::now();
        server.PutCiphertext(toServer);
        serverTime += Clock::now() - start;
        client.PutCiphertext(toClient);
    }
    if (!server.IsOpen() || !client.IsOpen()) {
        std::fprintf(stderr, "handshake failed: %s %s\n", server.GetError().c_str(),
                     client.GetError().c_str());
        std::exit(1);
    }
    return Ms(serverTime);
}

} // namespace

int main(int argc, char** argv)
{
    const int rounds = argc > 1 ? std::max(5, std::atoi(argv[1])) : 200;
    char pattern[] = "/tmp/kestrune-tls-bench-XXXXXX";
    const std::string folder = ::mkdtemp(pattern);
    std::string error;
    std::shared_ptr<CCertAuthority> authority = CCertAuthority::Open(folder, error);
    auto server = authority ? CTlsServerContext::Create(authority, error) : nullptr;
    const std::string rootFile = folder + "/export.pem";
    if (!server || !authority->ExportPem(rootFile, error)) {
        std::fprintf(stderr, "tls_bench: %s\n", error.c_str());
        return 1;
    }
    auto client = CTlsClientContext::Create(rootFile, true, error);

    // Baseline: a fixed context with one certificate, no name callback.
    std::string leafError;
    X509* fixedLeaf = server->GetLeaves().GetLeaf("bench.example", leafError);
    SSL_CTX* plain = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate(plain, fixedLeaf);
    SSL_CTX_use_PrivateKey(plain, server->GetLeaves().GetLeafKey());
    std::shared_ptr<SSL_CTX> plainOwner(plain, SSL_CTX_free);

    std::vector<double> baseline, cachedTotal, cachedServer, baselineServer, mint;
    for (int i = 0; i < rounds; ++i) {
        {
            CTlsSession s(SslPtr(SSL_new(plain)), TlsRole::Server, "", plainOwner);
            auto c = client->NewSession("bench.example");
            const auto start = Clock::now();
            baselineServer.push_back(Handshake(s, *c));
            baseline.push_back(Ms(Clock::now() - start));
        }
        {
            auto s = server->NewSession("bench.example");
            auto c = client->NewSession("bench.example");
            const auto start = Clock::now();
            cachedServer.push_back(Handshake(*s, *c));
            cachedTotal.push_back(Ms(Clock::now() - start));
        }
        {
            const std::string name = "host" + std::to_string(i) + ".bench.example";
            const auto start = Clock::now();
            if (!server->GetLeaves().GetLeaf(name, leafError))
                return 1;
            mint.push_back(Ms(Clock::now() - start));
        }
    }
    std::printf("rounds: %d (medians, ms)\n", rounds);
    std::printf("baseline handshake, both sides:         %.3f\n", Median(baseline));
    std::printf("cached-leaf handshake, both sides:      %.3f  (ratio %.2f)\n", Median(cachedTotal),
                Median(cachedTotal) / Median(baseline));
    std::printf("browser side alone, baseline / cached:  %.3f / %.3f\n", Median(baselineServer),
                Median(cachedServer));
    std::printf("mint a new leaf:                        %.3f\n", Median(mint));
    std::filesystem::remove_all(folder);
    return 0;
}
