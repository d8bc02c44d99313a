#include "util/lines.h"

#include "util/fatal.h"

LineRead read_line(std::FILE* fp, const char* name, std::string& line, std::size_t limit) {
    line.clear();
    bool any = false;
    bool too_long = false;
    for (;;) {
        const int c = getc_unlocked(fp);
        if (c == EOF) {
            if (std::ferror(fp)) fatal_errno("read error on", name);
            if (!any) return LineRead::eof;
            break;
        }
        any = true;
        if (c == '\n') break;
        if (limit != 0 && line.size() >= limit) {
            too_long = true;
            continue;
        }
        line.push_back(char(c));
    }
    return too_long ? LineRead::too_long : LineRead::ok;
}

void cut_at_control(std::string& line) {
    std::size_t i = 0;
    while (i < line.size() && static_cast<unsigned char>(line[i]) >= 32) ++i;
    line.resize(i);
}
