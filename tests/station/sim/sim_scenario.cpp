// Scenario reader of the simulated radio.
//
// A scenario is a text file with one directive a line. '#' at the start of a line (after
// blanks) makes it a comment; blank lines are skipped. Times are seconds from the start of the
// run, decimals allowed. Texts (names, bytes) are the rest of the line after one run of blanks,
// with the escapes \n \t \\ \s (a blank) and \xHH.
//
//   clock real | virtual        the station's clock: real time (default), or a virtual clock
//                               that moves only by the station's own pauses and inquiries
//   inquiry-time SECONDS        how long an inquiry takes (default 5.12; 0: a zero-latency radio)
//   adapter open-fail           adapter 0 is there but cannot be opened
//   page AT [EVERY]             the operator loads the scan page at AT, and every EVERY after
//   inquiry-fail AT             the first inquiry at or after AT fails
//   device ADDRESS CLASS        a device: address as printed (00:1A:7D:DA:71:13), class as six
//                               hex digits, most significant first (5a020c)
// These describe the last device:
//   name TEXT                   its remote name (default: the empty name)
//   name-fail N | always        the first N name reads fail, or every one
//   appear AT                   in range from AT (default 0)
//   leave AT                    out of range from AT (default: never)
//   sdp-fail N | always         the first N SDP connections fail, or every one
//   rfcomm refuse               connects to it are refused (default)
//   rfcomm silent               it accepts and sends nothing
//   rfcomm close                it accepts and closes at once
//   rfcomm send DELAY_MS TEXT   it accepts and sends TEXT after DELAY_MS milliseconds
//   rfcomm hang SECONDS         the connect blocks SECONDS (real time), then fails
//   service HANDLE [NAME]       an SDP record (HANDLE in hex or decimal); without NAME the
//                               record has no service name
// These describe the last service:
//   proto DESC...               its protocol descriptor list (one per record): each DESC
//                               is elements joined by ':', an element being L2CAP,
//                               RFCOMM, OBEX, a 16-bit UUID as 0xHHHH, or a decimal number (an
//                               8-bit parameter): proto L2CAP RFCOMM:1
//   name-number N               the service name attribute holds the number N, not a text
//
// Every record of a device is returned by its SDP search; a device is in range (answers
// inquiries, name reads, SDP and connects) from its appear time until its leave time.
#include "sim_scenario.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace
{

struct reader {
    sim_scenario &s;
    std::string error;

    bool fail(const std::string &what)
    {
        error = what;
        return false;
    }

    static bool number(const std::string &t, double &v)
    {
        if (t.empty())
            return false;
        char *end;
        errno = 0;
        v = strtod(t.c_str(), &end);
        return *end == '\0' && errno == 0 && std::isfinite(v) && v >= 0;
    }

    static bool integer(const std::string &t, unsigned long max, unsigned long &v)
    {
        if (t.empty() || t[0] == '-')
            return false;
        char *end;
        errno = 0;
        v = strtoul(t.c_str(), &end, 0);
        return *end == '\0' && errno == 0 && v <= max;
    }

    // N | always, as a count of failures (-1 for always).
    static bool count(const std::string &t, int &v)
    {
        unsigned long n;
        if (t == "always")
            v = -1;
        else if (integer(t, 1000000, n))
            v = int(n);
        else
            return false;
        return true;
    }

    // What follows the first k words.
    static std::string after_words(const std::string &s, int k)
    {
        size_t i = 0;
        for (int w = 0; w < k && i != std::string::npos; w++)
            i = s.find_first_of(" \t", s.find_first_not_of(" \t", i));
        i = i == std::string::npos ? i : s.find_first_not_of(" \t", i);
        return i == std::string::npos ? std::string() : s.substr(i);
    }

    static bool hexbyte(const char *p, uint8_t &b)
    {
        char tmp[3] = {p[0], p[1], '\0'};
        if (!isxdigit(static_cast<unsigned char>(p[0])) ||
            !isxdigit(static_cast<unsigned char>(p[1])))
            return false;
        b = uint8_t(strtoul(tmp, nullptr, 16));
        return true;
    }

    static bool address(const std::string &t, uint8_t (&a)[6])
    {
        if (t.size() != 17)
            return false;
        for (int i = 0; i < 6; i++) {
            if (i < 5 && t[size_t(i) * 3 + 2] != ':')
                return false;
            if (!hexbyte(&t[size_t(i) * 3], a[5 - i]))
                return false;
        }
        return true;
    }

    static bool device_class(const std::string &t, uint8_t (&c)[3])
    {
        if (t.size() != 6)
            return false;
        for (int i = 0; i < 3; i++)
            if (!hexbyte(&t[size_t(i) * 2], c[2 - i]))
                return false;
        return true;
    }

    bool text(const std::string &raw, std::string &out)
    {
        out.clear();
        for (size_t i = 0; i < raw.size(); i++) {
            if (raw[i] != '\\') {
                out += raw[i];
                continue;
            }
            if (++i == raw.size())
                return fail("a text ends in a lone backslash");
            switch (raw[i]) {
            case 'n':
                out += '\n';
                break;
            case 't':
                out += '\t';
                break;
            case 's':
                out += ' ';
                break;
            case '\\':
                out += '\\';
                break;
            case 'x': {
                uint8_t b;
                if (i + 2 >= raw.size() || !hexbyte(&raw[i + 1], b))
                    return fail("\\x needs two hex digits");
                out += char(b);
                i += 2;
                break;
            }
            default:
                return fail(std::string("unknown escape \\") + raw[i]);
            }
        }
        return true;
    }

    bool element(const std::string &t, sim_element &e)
    {
        static const struct {
            const char *name;
            uint16_t uuid;
        } names[] = {{"L2CAP", 0x0100}, {"RFCOMM", 0x0003}, {"OBEX", 0x0008}};
        for (const auto &n : names)
            if (t == n.name) {
                e = {true, n.uuid, 0};
                return true;
            }
        unsigned long v;
        if (t.rfind("0x", 0) == 0 && integer(t, 0xffff, v)) {
            e = {true, uint16_t(v), 0};
            return true;
        }
        if (!t.empty() && isdigit(static_cast<unsigned char>(t[0])) && integer(t, 0xff, v)) {
            e = {false, 0, uint8_t(v)};
            return true;
        }
        return fail("bad protocol element '" + t + "'");
    }

    bool proto(std::istringstream &in, sim_service &svc)
    {
        sim_proto_list list;
        for (std::string desc; in >> desc;) {
            sim_descriptor d;
            std::istringstream parts(desc);
            for (std::string part; std::getline(parts, part, ':');) {
                sim_element e;
                if (!element(part, e))
                    return false;
                d.push_back(e);
            }
            if (d.empty())
                return fail("empty protocol descriptor");
            list.push_back(d);
        }
        if (list.empty())
            return fail("proto needs at least one descriptor");
        if (!svc.protos.empty())
            return fail("a service has one proto line");
        svc.protos = list;
        return true;
    }

    sim_device *device()
    {
        if (s.devices.empty()) {
            fail("this line belongs to a device: put a device line before it");
            return nullptr;
        }
        return &s.devices.back();
    }

    sim_service *service()
    {
        sim_device *d = device();
        if (!d)
            return nullptr;
        if (d->services.empty()) {
            fail("this line belongs to a service: put a service line before it");
            return nullptr;
        }
        return &d->services.back();
    }

    bool rfcomm(std::istringstream &in, const std::string &rest, sim_device &d)
    {
        std::string mode, arg;
        in >> mode;
        if (mode == "refuse" || mode == "silent" || mode == "close") {
            d.rfcomm = mode == "refuse"   ? sim_rfcomm::refuse
                       : mode == "silent" ? sim_rfcomm::silent
                                          : sim_rfcomm::close;
            return true;
        }
        if (mode == "hang") {
            in >> arg;
            d.rfcomm = sim_rfcomm::hang;
            return number(arg, d.hang_s) || fail("rfcomm hang needs SECONDS");
        }
        if (mode == "send") {
            unsigned long delay;
            in >> arg;
            if (!integer(arg, 3600000, delay))
                return fail("rfcomm send needs DELAY_MS and TEXT");
            std::string bytes = after_words(rest, 2);
            if (bytes.empty())
                return fail("rfcomm send needs DELAY_MS and TEXT");
            d.rfcomm = sim_rfcomm::send;
            d.delay_ms = int(delay);
            return text(bytes, d.bytes);
        }
        return fail("rfcomm is refuse, silent, close, send DELAY_MS TEXT or hang SECONDS");
    }

    bool line(const std::string &directive, const std::string &rest)
    {
        std::istringstream in(rest);
        std::string a, b;
        if (directive == "clock") {
            in >> a;
            if (a != "real" && a != "virtual")
                return fail("clock is real or virtual");
            s.virtual_clock = a == "virtual";
            return true;
        }
        if (directive == "inquiry-time")
            return number(rest, s.inquiry_time) || fail("inquiry-time needs SECONDS");
        if (directive == "adapter") {
            in >> a;
            if (a != "open-fail")
                return fail("adapter is: open-fail");
            s.adapter_open_fail = true;
            return true;
        }
        if (directive == "page") {
            in >> a >> b;
            sim_page p = {0, 0};
            if (!number(a, p.at) || (!b.empty() && (!number(b, p.every) || p.every <= 0)))
                return fail("page needs AT [EVERY]");
            s.pages.push_back(p);
            return true;
        }
        if (directive == "inquiry-fail") {
            double at;
            if (!number(rest, at))
                return fail("inquiry-fail needs AT");
            s.inquiry_fail.push_back(at);
            return true;
        }
        if (directive == "device") {
            in >> a >> b;
            sim_device d;
            if (!address(a, d.addr))
                return fail("bad device address '" + a + "'");
            if (!device_class(b, d.cls))
                return fail("bad device class '" + b + "' (six hex digits)");
            s.devices.push_back(d);
            return true;
        }
        if (directive == "service") {
            sim_device *d = device();
            if (!d)
                return false;
            in >> a;
            unsigned long handle;
            if (!integer(a, 0xffffffff, handle))
                return fail("service needs HANDLE");
            sim_service svc;
            svc.handle = uint32_t(handle);
            if (std::string name = after_words(rest, 1); !name.empty()) {
                svc.has_name = true;
                if (!text(name, svc.name))
                    return false;
            }
            d->services.push_back(svc);
            return true;
        }
        if (directive == "proto" || directive == "name-number") {
            sim_service *svc = service();
            if (!svc)
                return false;
            if (directive == "proto")
                return proto(in, *svc);
            unsigned long n;
            if (!integer(rest, 0xffffffff, n))
                return fail("name-number needs N");
            svc->name_is_number = true;
            svc->name_number = uint32_t(n);
            return true;
        }
        static const char *const device_lines[] = {"name",   "name-fail", "sdp-fail",
                                                   "appear", "leave",     "rfcomm"};
        if (std::find(std::begin(device_lines), std::end(device_lines), directive) ==
            std::end(device_lines))
            return fail("unknown directive '" + directive + "'");
        sim_device *d = device();
        if (!d)
            return false;
        if (directive == "name")
            return text(rest, d->name);
        if (directive == "name-fail")
            return count(rest, d->name_fail) || fail("name-fail needs N or always");
        if (directive == "sdp-fail")
            return count(rest, d->sdp_fail) || fail("sdp-fail needs N or always");
        if (directive == "appear")
            return number(rest, d->appear) || fail("appear needs AT");
        if (directive == "leave")
            return number(rest, d->leave) || fail("leave needs AT");
        if (directive == "rfcomm")
            return rfcomm(in, rest, *d);
        return fail("unknown directive '" + directive + "'");
    }
};

} // namespace

bool sim_scenario_parse(const std::string &text, sim_scenario &out, std::string &error)
{
    out = sim_scenario();
    reader r{out, {}};
    std::istringstream in(text);
    int n = 0;
    for (std::string l; std::getline(in, l);) {
        n++;
        size_t end = l.find_last_not_of(" \t\r");
        l.erase(end == std::string::npos ? 0 : end + 1);
        size_t start = l.find_first_not_of(" \t");
        if (start == std::string::npos || l[start] == '#')
            continue;
        size_t gap = l.find_first_of(" \t", start);
        std::string directive = l.substr(start, gap - start);
        size_t rest_at = gap == std::string::npos ? l.size() : l.find_first_not_of(" \t", gap);
        if (!r.line(directive, l.substr(rest_at))) {
            error = std::to_string(n) + ": " + r.error;
            return false;
        }
    }
    return true;
}

bool sim_scenario_load(const char *path, sim_scenario &out, std::string &error)
{
    std::ifstream f(path);
    if (!f) {
        error = std::string("cannot read ") + path;
        return false;
    }
    std::stringstream buf;
    buf << f.rdbuf();
    return sim_scenario_parse(buf.str(), out, error);
}
