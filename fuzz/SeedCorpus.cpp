// Writes the seed corpus of the fuzzers: the reference service's reply to a
// request of every action on the sample installation for fuzz_reply_decode,
// those replies and their requests for fuzz_serialization_reads, and a few
// well-formed and broken frame streams for both sides of fuzz_ipc_frames; and
// the dictionary of fuzz_reply_decode, the type and tag names of the record
// table, which the encoded form carries as text.
//
// Usage: fuzz_seeds <corpus folder> <dictionary file>
//   (writes <corpus folder>/<target>/<seed> and the dictionary)
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "ActionTable.h"
#include "Authentication.h"
#include "InstallationFile.h"
#include "RecordDifference.h"
#include "RecordInfo.h"
#include "Service.h"
#include "ServiceCodec.h"
#include "SqliteStore.h"
#include "UtcTime.h"

namespace {

using namespace DataServiceNamespace;

void writeSeed(const std::filesystem::path &folder, const std::string &name,
               const std::string &bytes) {
    std::filesystem::create_directories(folder);
    std::ofstream out(folder / name, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// What a request of any action asks for: the sample's first camera, its
// first stream profile, the first day of its recordings, the first contact,
// SMTP setting and FTP site. Text fields are set by their tag names.
struct RequestFill {
    std::string session, camera, stream, start, end, contact, smtp, ftp;
    std::string parent; // tag of the record being filled; empty at the top

    template <class Kind, class Field> void operator()(Kind, const char *, Field &) const {}
    void operator()(TextField, const char *name, cfstring &value) const {
        const std::string tag = name;
        if (tag == "session_key")
            value = session;
        else if (tag == "id")
            value = parent == "contact_data"        ? contact
                    : parent == "smtp_setting_data" ? smtp
                    : parent == "ftp_site_data"     ? ftp
                                                    : camera;
        else if (tag == "device_id")
            value = camera;
        else if (tag == "stream_id")
            value = stream;
        else if (tag == "start" || tag == "end")
            value = tag == "start" ? start : end;
        else if (tag == "username" || tag == "password")
            value = "seeds";
    }
    template <class Nested> void operator()(NestedField, const char *name, Nested &value) const {
        RequestFill nested = *this;
        nested.parent = name;
        RecordInfo<Nested>::visit(nested, value);
    }
    template <class Nested> void operator()(StatusField, const char *name, Nested &value) const {
        (*this)(NestedField{}, name, value);
    }
};

void recordSeeds(const std::filesystem::path &replies, const std::filesystem::path &records) {
    using namespace server;
    ServiceCodec codec;
    codec.createTool(DS_DEFINITION_FILE);
    const std::filesystem::path database = std::filesystem::temp_directory_path() /
                                           ("ds-fuzz-seeds-" + std::to_string(getpid()) + ".db");
    {
        const Installation sample = readInstallationFile(DS_SAMPLE_INSTALLATION);
        SqliteStore store(database.string());
        store.replaceInstallation(sample);
        initialiseSodium();
        store.putUser({"seeds", hashPassword("seeds")});
        const ServiceLog log(LogLevel::off);
        Service service(store, ServiceOptions{}, log);

        AuthenticationReqData login;
        login.username = login.password = "seeds";
        AuthenticationResData keys;
        service.answer<RecvResponseCallbackauthentications>(login, keys);
        RequestFill fill;
        fill.session = keys.session_key;
        fill.camera = sample.devices.front().id;
        for (const auto &profile : sample.streamProfiles)
            if (profile.deviceId == fill.camera && fill.stream.empty())
                fill.stream = profile.data.id;
        const UnixSeconds first = sample.recordingSchedules.empty()
                                      ? *parseUtcTime(sample.recordings.front().start)
                                      : sample.recordingSchedules.front().first;
        fill.start = formatUtcTime(first);
        fill.end = formatUtcTime(first + 86400 - 1);
        fill.contact = sample.contacts.front().id;
        fill.smtp = sample.smtpSettings.front().id;
        fill.ftp = sample.ftpSites.front().id;

        forEachAction([&](auto *callback) {
            using Callback = std::remove_pointer_t<decltype(callback)>;
            typename Action<Callback>::Request request;
            RecordInfo<typename Action<Callback>::Request>::visit(fill, request);
            if constexpr (std::is_same_v<Callback, RecvResponseCallbackverify_authentication>) {
                request.url = "/devices";
                request.vendor = "seeds";
                request.timestamp = std::to_string(static_cast<long long>(std::time(nullptr)));
                request.signature = hmacSha256Hex(
                    keys.secret_key, request.url + "\n" + request.timestamp + "\n" + request.vendor);
            }
            typename Action<Callback>::Response response;
            service.answer<Callback>(request, response);
            const std::string name = Action<Callback>::name, reply = encodedBytes(codec, response);
            writeSeed(replies, name + ".bin", reply);
            writeSeed(records, name + "-reply.bin", reply);
            writeSeed(records, name + "-request.bin", encodedBytes(codec, request));
            releaseOpaque(response);
        });
    }
    for (const char *suffix : {"", "-wal", "-shm"})
        std::filesystem::remove(database.string() + suffix);
}

void writeDictionary(const std::filesystem::path &file) {
    std::set<std::string> names;
    forEachRecordType([&](auto *type) {
        using Record = std::remove_pointer_t<decltype(type)>;
        names.insert(RecordInfo<Record>::typeName);
        Record record;
        RecordInfo<Record>::visit(
            [&](auto kind, const char *tag, auto &...) {
                if (isTransmitted<decltype(kind)>)
                    names.insert(tag);
            },
            record);
    });
    std::ofstream out(file, std::ios::trunc);
    out << "# Type and tag names of the record table (written by fuzz_seeds).\n";
    for (const std::string &name : names)
        out << '"' << name << "\"\n";
}

void putBigEndian(std::string &out, std::uint64_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i)
        out += static_cast<char>((value >> (8 * i)) & 0xffu);
}

// One frame of the documented layout (platform/velorn_ipc/src/Frame.h).
std::string frame(int kind, std::uint64_t token, std::uint32_t methodId, std::int32_t code,
                  const std::string &payload, std::uint32_t announcedSize) {
    std::string bytes;
    putBigEndian(bytes, 0x56495043u, 4);
    putBigEndian(bytes, 1, 1);
    putBigEndian(bytes, static_cast<std::uint64_t>(kind), 1);
    putBigEndian(bytes, 0, 2);
    putBigEndian(bytes, token, 8);
    putBigEndian(bytes, methodId, 4);
    putBigEndian(bytes, static_cast<std::uint32_t>(code), 4);
    putBigEndian(bytes, announcedSize, 4);
    return bytes + payload;
}

std::string frame(int kind, std::uint64_t token, std::uint32_t methodId, std::int32_t code,
                  const std::string &payload) {
    return frame(kind, token, methodId, code, payload,
                 static_cast<std::uint32_t>(payload.size()));
}

void frameSeeds(const std::filesystem::path &folder) {
    const std::string callee(1, '\0'), caller(1, '\1');
    const int request = 1, response = 2;
    const std::uint32_t devicesId = 0x34C194C4u;
    writeSeed(folder, "callee-one-request", callee + frame(request, 7, devicesId, 0, "hello"));
    writeSeed(folder, "callee-two-requests",
              callee + frame(request, 7, devicesId, 0, "first") +
                  frame(request, 8, devicesId, 0, ""));
    writeSeed(folder, "callee-truncated-second",
              callee + frame(request, 7, devicesId, 0, "whole") +
                  frame(request, 8, devicesId, 0, "cut short", 64).substr(0, 40));
    writeSeed(folder, "callee-bad-magic",
              callee + "XIPC" + frame(request, 7, devicesId, 0, "x").substr(4));
    writeSeed(folder, "callee-response-kind", callee + frame(response, 7, devicesId, 0, "x"));
    writeSeed(folder, "callee-oversized",
              callee + frame(request, 7, devicesId, 0, "", 64u * 1024u * 1024u + 1u));
    writeSeed(folder, "caller-one-reply", caller + frame(response, 1, 0x10, 0, "ok"));
    writeSeed(folder, "caller-all-replies",
              caller + frame(response, 1, 0x20, 0, "third") + frame(response, 2, 0x10, 6, "") +
                  frame(response, 1, 0x10, 0, "first"));
    writeSeed(folder, "caller-unknown-then-cut",
              caller + frame(response, 99, 0x10, 0, "stray") +
                  frame(response, 2, 0x10, 0, "partial", 32).substr(0, 33));
    writeSeed(folder, "caller-request-kind", caller + frame(request, 1, 0x10, 0, "no"));
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <corpus folder> <dictionary file>\n", argv[0]);
        return 2;
    }
    const std::filesystem::path root = argv[1];
    recordSeeds(root / "fuzz_reply_decode", root / "fuzz_serialization_reads");
    frameSeeds(root / "fuzz_ipc_frames");
    writeDictionary(argv[2]);
    return 0;
}
