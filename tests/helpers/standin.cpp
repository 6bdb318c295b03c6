// One stand-in for both outside programs, its role taken from its own file
// name. Beside it, "<name>_control.txt" steers it and "<name>_record.txt"
// gets a block of key=value lines, ended by "end", per start.
//
// Either program's first act is to add its pid to "<name>_starts.txt": a start
// that Wine breaks before main is the one missing there.
//
// srcds.exe answers the info query on -ip/-port, its server name "launch <n>"
// for its nth start (the nth line of srcds_starts.txt). Control line n (the last
// one for later starts, re-read as it runs) is that start's behaviour: answer,
// silent, badheader (reply type 0x44), challenge (asks for one first),
// challengeonly, players <n> <bots> (answers with those counts), exit <code>,
// commit <MiB> (touched, so it is committed), or request <code> (creates
// <game>\update_request.txt and exits). Record, once bound and under its line
// and again at each change of its priority or affinity: pid priority affinity cwd cmdline; "srcds_requests.txt" gets each
// request's source port. With "srcds_rcon.txt" ("<mode> <password>") it
// listens for the remote console on TCP -ip/-port, one connection at a time,
// and records each packet as "<id> <type> <body>" in "srcds_rcon_record.txt".
// Modes: quit ("bye" and exit code 0 0.3 s after it is told to quit), ignore (answers, quits not),
// refuse (any password), close (closes each connection at once), pieces
// (answers a byte at a time; quits), mute (never answers), garble (answers a
// login with a size of 5000).
//
// steamcmd.exe reads its input to the end, then runs a tool check when
// "+quit" is on its command line, an app info print when its script asks for
// one, else an update run. Control lines "check <modes>", "info <modes>" and
// "run <modes>": the nth run of a kind takes the nth mode, the last one
// repeating; "build <id>" is the newest build (100 without it). check:
// uptodate, selfupdate, hang; info, from real outputs with the app id and
// build put in: full (printed twice, the second cut), none, hang; run:
// success (puts a copy of itself as srcds.exe into force_install_dir and a
// manifest of the build), fail, hang, gated (prints its success line only once
// the event StandinGate is set); any kind: flood (64-byte progress lines
// without end), spill (65536 of them, its success line after the first half).
// Record: kind mode overlap (another tool was
// running) cwd cmdline stdin (line ends as \r \n).
//
// "standin squat NAME" holds an event of that name until its input ends, and
// sets it then: "squat StandinGate" holds gated runs until then. "standin
// hold FILE" holds the file open, as a reader that does not let it be deleted
// or replaced, until its input ends. "standin trust FILE" adds the DER
// certificate in FILE to the machine's Root store of the prefix.
#include "support/windows_api.h"

#include <wincrypt.h>

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string own; // this program's path without ".exe": its files begin with it

std::string Read(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

void Append(const std::string& suffix, const std::string& text) {
    std::ofstream(own + suffix, std::ios::binary | std::ios::app) << text;
}

// The nth item (from 1) of a list, the last one when it is shorter.
std::string Nth(const std::string& list, char separator, size_t n) {
    size_t start = 0;
    for (; n > 1 && list.find(separator, start) != std::string::npos; --n) {
        start = list.find(separator, start) + 1;
    }
    return list.substr(start, list.find(separator, start) - start);
}

// The rest of the control line that begins with key, or fallback.
std::string Control(const std::string& key, const std::string& fallback) {
    std::string control = "\n" + Read(own + "_control.txt"), start = "\n" + key + " ";
    size_t at = control.find(start);
    return at == std::string::npos ? fallback
                                   : control.substr(at + start.size(),
                                                    control.find('\n', at + 1) - at - start.size());
}

std::string Cwd() {
    char cwd[MAX_PATH] = "";
    GetCurrentDirectoryA(sizeof cwd, cwd);
    return cwd;
}

// A stored real output of app_info_print without its '#' notes, the app's id
// and public build (3272026) replaced.
std::string RealOutput(const char* name, const std::string& appId, const std::string& id,
                       const std::string& build) {
    std::istringstream lines(Read(std::string(CORVANE_TEST_DATA "/update/appinfo/") + name));
    std::string text;
    for (std::string line; std::getline(lines, line);) {
        text += line[0] == '#' ? "" : line + "\n";
    }
    for (const auto& [from, to] : {std::make_pair(appId, id), std::make_pair(std::string("3272026"), build)}) {
        for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) {
            text.replace(at, from.size(), to);
        }
    }
    return text;
}

int RunTool() {
    // Held until this tool ends, however it ends.
    HANDLE runs = CreateMutexA(nullptr, FALSE, "StandinToolRuns");
    bool overlap = WaitForSingleObject(runs, 0) == WAIT_TIMEOUT;
    std::string commandLine = GetCommandLineA(), script, shown;
    char c;
    DWORD got = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), &c, 1, &got, nullptr) && got == 1) {
        script += c;
        shown += c == '\n' ? "\\n" : c == '\r' ? "\\r" : std::string(1, c);
    }
    std::string kind = commandLine.find("+quit") != std::string::npos            ? "check"
                       : script.find("app_info_print ") != std::string::npos ? "info"
                                                                             : "run";
    std::string record = Read(own + "_record.txt"), build = Control("build", "100");
    size_t number = 1;
    for (size_t at = 0; (at = record.find("kind=" + kind + "\n", at)) != std::string::npos; ++at) {
        ++number;
    }
    std::string mode = Control(kind, kind == "check" ? "uptodate" : kind == "run" ? "success" : "full");
    mode = Nth(mode, ',', number);
    Append("_record.txt", "kind=" + kind + "\nmode=" + mode + "\noverlap=" + (overlap ? "1" : "0") +
                              "\ncwd=" + Cwd() + "\ncmdline=" + commandLine + "\nstdin=" + shown +
                              "\nend\n");
    std::string word = kind == "info" ? "app_info_print " : "app_update ", id;
    if (script.find(word) != std::string::npos) {
        id = script.substr(script.find(word) + word.size());
        id = id.substr(0, id.find_first_of(" \n"));
    }
    std::string output = "Loading API...OK\r\n";
    if (mode == "selfupdate") {
        output = "[----] Downloading update (40,960 KB)...\r\nUpdate complete, launching...\r\n";
    } else if (mode == "success" || mode == "gated") {
        size_t at = script.find("force_install_dir \"") + 19;
        std::string installDir = script.substr(at, script.find('"', at) - at);
        CreateDirectoryA(installDir.c_str(), nullptr);
        CopyFileA((own + ".exe").c_str(), (installDir + "\\srcds.exe").c_str(), TRUE);
        CreateDirectoryA((installDir + "\\steamapps").c_str(), nullptr);
        std::ofstream(installDir + "\\steamapps\\appmanifest_" + id + ".acf")
            << "\"AppState\"\n{\n\t\"appid\"\t\t\"" + id + "\"\n\t\"buildid\"\t\t\"" + build +
                   "\"\n}\n";
        output = "Logging in anonymously... OK\r\nSuccess! App '232330' fully installed.\r\n";
    } else if (mode == "spill") {
        output = "Success! App '232330' fully installed.\r\n";
    } else if (mode == "fail") {
        output = "Logging in anonymously... OK\r\nError! App '232330' state is 0x202.\r\n";
    } else if (kind == "info") {
        output = mode == "none"
                     ? RealOutput("app_info_print_222860_no_app_info_2024.txt", "222860", id, build)
                     : RealOutput("app_info_print_258550_windows_2018.txt", "258550", id, build);
    }
    DWORD written = 0, held = mode == "gated" ? 30 : 0; // up to the success line
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    for (unsigned n = 0; (mode == "flood" || mode == "spill") && (mode == "flood" || n < 65536); n += 32) {
        std::string lines = n == 32768 && mode == "spill" ? output : "";
        for (unsigned i = n; i < n + 32; ++i) {
            char line[65];
            snprintf(line, sizeof line, "Update state (0x61) downloading, progress %08u of 65536   \r\n", i);
            lines += line;
        }
        WriteFile(out, lines.data(), static_cast<DWORD>(lines.size()), &written, nullptr);
    }
    WriteFile(out, output.data(), held, &written, nullptr);
    if (held != 0) {
        WaitForSingleObject(OpenEventA(SYNCHRONIZE, FALSE, "StandinGate"), INFINITE);
    }
    if (mode != "spill") {
        WriteFile(out, &output[held], static_cast<DWORD>(output.size() - held), &written, nullptr);
    }
    while (mode == "hang") {
        Sleep(1000);
    }
    return 0;
}

// A remote console answer with an empty body.
std::string RconAnswer(int32_t id, int32_t type) {
    int32_t fields[3] = {10, id, type};
    return std::string(reinterpret_cast<const char*>(fields), 12) + std::string(2, '\0');
}

DWORD WINAPI ListenRcon(LPVOID address) {
    std::istringstream settings(Read(own + "_rcon.txt"));
    std::string mode, password;
    settings >> mode >> password;
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    BOOL reuse = TRUE;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuse), sizeof reuse);
    if (bind(listener, static_cast<sockaddr*>(address), sizeof(sockaddr_in)) != 0 || listen(listener, 4) != 0) {
        return 1;
    }
    for (;;) {
        SOCKET client = accept(listener, nullptr, nullptr);
        std::string in;
        char buffer[8192];
        for (int got; mode != "close" && (got = recv(client, buffer, sizeof buffer, 0)) > 0;) {
            in.append(buffer, static_cast<size_t>(got));
            for (int32_t field[3]; in.size() >= 12 && in.size() >= 4 + *reinterpret_cast<const uint32_t*>(in.data());) {
                memcpy(field, in.data(), 12);
                std::string body = in.substr(12, static_cast<size_t>(field[0]) - 10).c_str();
                in.erase(0, 4 + static_cast<size_t>(field[0]));
                Append("_rcon_record.txt", std::to_string(field[1]) + " " + std::to_string(field[2]) + " " + body + "\n");
                std::string reply = RconAnswer(field[1], 0);
                if (field[2] == 3 && mode == "garble") {
                    reply = std::string("\x88\x13\0\0", 4);
                } else if (field[2] == 3) {
                    reply += RconAnswer(mode == "refuse" || body != password ? -1 : field[1], 2);
                } else if (body == "quit" && mode != "ignore") {
                    closesocket(client);
                    Sleep(300); // as a server saves what it holds, its console closed
                    Append("_rcon_record.txt", "bye\n");
                    ExitProcess(0);
                }
                for (size_t at = 0, piece = mode == "pieces" ? 1 : reply.size(); mode != "mute" && at < reply.size(); at += piece) {
                    send(client, reply.data() + at, static_cast<int>(piece), 0);
                    Sleep(mode == "pieces" ? 5 : 0);
                }
            }
        }
        closesocket(client);
    }
}

int RunServer(int argc, char** argv) {
    std::string game, port = "27015", ip = "127.0.0.1";
    for (int i = 1; i + 1 < argc; ++i) {
        std::string name = argv[i];
        (name == "-game" ? game : name == "-port" ? port : name == "-ip" ? ip : name) = argv[i + 1];
    }
    std::string starts = Read(own + "_starts.txt");
    size_t launch = static_cast<size_t>(std::count(starts.begin(), starts.end(), '\n'));
    WSADATA socketLayer;
    WSAStartup(MAKEWORD(2, 2), &socketLayer);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(atoi(port.c_str())));
    address.sin_addr.s_addr = inet_addr(ip.c_str());
    SOCKET socketHandle = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    // Wine at times keeps the socket of a process ended just after it sent, and
    // its port with it: the next launch binds beside it and gets the queries.
    BOOL reuse = TRUE;
    setsockopt(socketHandle, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuse),
               sizeof reuse);
    if (bind(socketHandle, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        return 2;
    }
    if (!Read(own + "_rcon.txt").empty()) {
        CloseHandle(CreateThread(nullptr, 0, ListenRcon, &address, 0, nullptr));
    }
    const char challenge[] = "\x5E\x11\xA7\x3C";
    std::string mode;
    for (std::string recorded;;) {
        std::string control = Read(own + "_control.txt");
        std::string line = control.empty() || control.back() != '\n'
                               ? mode : Nth(control.substr(0, control.size() - 1), '\n', launch);
        unsigned long number = strtoul(line.c_str() + line.find(' ') + 1, nullptr, 0);
        if (line.compare(0, 8, "request ") == 0) {
            std::ofstream(game + "\\update_request.txt");
        }
        if (line.compare(0, 5, "exit ") == 0 || line.compare(0, 8, "request ") == 0) {
            ExitProcess(static_cast<UINT>(number));
        }
        if (line != mode && line.compare(0, 7, "commit ") == 0) {
            SIZE_T bytes = static_cast<SIZE_T>(number) << 20;
            memset(VirtualAlloc(nullptr, bytes, MEM_COMMIT, PAGE_READWRITE), 0x5A, bytes);
        }
        mode = line;
        DWORD_PTR mask = 0, systemMask = 0;
        GetProcessAffinityMask(GetCurrentProcess(), &mask, &systemMask);
        char numbers[128];
        snprintf(numbers, sizeof numbers, "pid=%lu\npriority=0x%lX\naffinity=0x%llX\n",
                 GetCurrentProcessId(), GetPriorityClass(GetCurrentProcess()),
                 static_cast<unsigned long long>(mask));
        if (recorded != numbers) { // again when they are set on the running process
            recorded = numbers;
            Append("_record.txt",
                   numbers + ("cwd=" + Cwd()) + "\ncmdline=" + GetCommandLineA() + "\nend\n");
        }
        fd_set readSet;
        FD_ZERO(&readSet);
        FD_SET(socketHandle, &readSet);
        timeval pollTime = {0, 100000};
        char request[1400];
        sockaddr_in from;
        int fromLength = sizeof from;
        int received = select(0, &readSet, nullptr, nullptr, &pollTime) <= 0
                           ? 0 : recvfrom(socketHandle, request, sizeof request, 0,
                                          reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (received < 25 || memcmp(request + 4, "TSource Engine Query", 21) != 0) {
            continue;
        }
        Append("_requests.txt", std::to_string(ntohs(from.sin_port)) + "\n");
        if (mode == "silent") {
            continue;
        }
        std::string reply("\xFF\xFF\xFF\xFF", 4);
        if (mode == "challengeonly" ||
            (mode == "challenge" && (received != 29 || memcmp(request + 25, challenge, 4) != 0))) {
            reply += "A" + std::string(challenge);
        } else {
            unsigned players = 0, bots = 0;
            sscanf(mode.c_str(), "players %u %u", &players, &bots);
            reply += (mode == "badheader" ? "D\x11" : "I\x11") + ("launch " + std::to_string(launch)) +
                     '\0' + "standin_map" + '\0' + game + '\0' + "Stand-in" + std::string(3, '\0') +
                     static_cast<char>(players) + '\x10' + static_cast<char>(bots) +
                     std::string("dw\0\0" "1.0.0.0\0", 12);
        }
        sendto(socketHandle, reply.data(), static_cast<int>(reply.size()), 0,
               reinterpret_cast<const sockaddr*>(&from), fromLength);
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 3 && strcmp(argv[1], "trust") == 0) {
        std::string der = Read(argv[2]);
        HCERTSTORE root =
            CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, "Root");
        bool added = root != nullptr &&
                     CertAddEncodedCertificateToStore(
                         root, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
                         static_cast<DWORD>(der.size()), CERT_STORE_ADD_NEW, nullptr);
        return added && CertCloseStore(root, 0) ? 0 : 1; // written to the registry at the close
    }
    if (argc == 3 && (strcmp(argv[1], "squat") == 0 || strcmp(argv[1], "hold") == 0)) {
        HANDLE event = argv[1][0] == 's' ? CreateEventA(nullptr, TRUE, FALSE, argv[2]) : nullptr;
        bool held = argv[1][0] == 's' ? event != nullptr
                                      : CreateFileA(argv[2], GENERIC_READ, FILE_SHARE_READ, nullptr,
                                                    OPEN_EXISTING, 0, nullptr) != INVALID_HANDLE_VALUE;
        puts(held ? "held" : "failed");
        fflush(stdout);
        while (getchar() != EOF) {
        }
        SetEvent(event);
        return 0;
    }
    char self[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, self, sizeof self);
    own.assign(self, strlen(self) - 4);
    Append("_starts.txt", std::to_string(GetCurrentProcessId()) + "\n");
    bool tool = _stricmp(own.substr(own.rfind('\\') + 1).c_str(), "steamcmd") == 0;
    return tool ? RunTool() : RunServer(argc, argv);
}
