// The checker screen: one file as a 30 x 59 grid of sample cells, several
// files as a scrolling list of sample bars, and a verdict once every file is
// settled. Runs on the UI thread while the check threads write the flags.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <string>

#include "checker/check_state.h"
#include "checker/ui_check.h"
#include "ui/draw.h"
#include "ui/regions.h"
#include "ui/widgets.h"
#include "ui/window.h"

namespace {

const char* FACE = "Microsoft Sans Serif";
const uint32_t WHITE = 0xffffffff;
const uint32_t BLACK = 0xff000000;
const uint32_t GREY_TEXT = 0xff707070;
const uint32_t GREEN = 0xff4cd964;
const uint32_t RED = 0xffde1d10;
const uint32_t YELLOW = 0xffdbdb2f;
const uint32_t BLUE = 0xff34aadc;
const uint32_t LIGHT_GREY = 0xfff0f0f0;
// Not checked: a skipped file, or a sample that could not be read. Neither
// wrong (red) nor waiting (grey).
const uint32_t PURPLE = 0xff8e44ad;
// A wrong or unchecked sample is drawn at least this wide in a bar.
const int MARK_WIDTH = 3;

uint32_t sample_colour(const check_sample_s& s) {
    if (s.read_failed.load(std::memory_order_relaxed)) return PURPLE;
    if (s.compared.load(std::memory_order_relaxed))
        return s.equal.load(std::memory_order_relaxed) ? GREEN : RED;
    if (s.computing.load(std::memory_order_relaxed) || s.expected_ready.load(std::memory_order_relaxed))
        return YELLOW;
    if (s.read_done.load(std::memory_order_relaxed)) return BLUE;
    return LIGHT_GREY;
}

bool stands_out(uint32_t colour) { return colour == RED || colour == PURPLE; }

uint32_t outcome_colour(check_outcome_e outcome) {
    switch (outcome) {
    case CHECK_CORRECT: return GREEN;
    case CHECK_WRONG:
    case CHECK_MISMATCH: return RED;
    default: return PURPLE;
    }
}

void paint_back_button(window_s* w, int y, std::function<void()> on_click) {
    bool hover = ui_region_click(w, 24, y, 130, 40, std::move(on_click));
    draw_set_fill(w, hover ? 0xffe5f1fb : 0xffe1e1e1);
    draw_set_stroke(w, hover ? 0xff0078d7 : 0xffadadad);
    draw_rect(w, 24, (float)y, 130, 40);
    draw_set_fill(w, BLACK);
    draw_set_font(w, FACE, 12);
    int tw = (int)draw_text_width(w, "Back");
    draw_text(w, "Back", (float)(24 + (130 - tw) / 2), (float)(y + 10));
}

// The line beside the Back button, once no file can change any more.
void paint_verdict(checker_s* c, window_s* w, int H) {
    const char* text = nullptr;
    uint32_t colour = PURPLE;
    switch (check_verdict(*c)) {
    case CHECK_PENDING: return;
    case CHECK_CORRECT: text = "All data correct!", colour = GREEN; break;
    case CHECK_WRONG: text = "Not all data is correct!", colour = RED; break;
    case CHECK_INCOMPLETE: text = "Not all data could be checked!"; break;
    default: text = c->entries.empty() ? "No plot files found." : "No data could be checked!"; break;
    }
    draw_set_fill(w, colour);
    draw_set_font(w, FACE, 20);
    draw_text(w, text, 178, (float)(H - 64));
}

// A line of small text at (178, y), made smaller when it would run past
// the window's right edge.
void paint_detail_line(window_s* w, const std::string& text, int y, int W) {
    if (text.empty()) return;
    draw_set_fill(w, BLACK);
    int size = 10;
    draw_set_font(w, FACE, size);
    while (size > 7 && 178 + draw_text_width(w, text.c_str()) > (float)(W - 8)) draw_set_font(w, FACE, --size);
    draw_text(w, text.c_str(), 178, (float)y);
}

// Under the verdict of a single file: how many samples were compared, or
// why the file was not checked, or what it holds instead of its name's
// data; below it what the check looked at and what it can have missed (a
// check samples, it does not read every scoop).
void paint_single_detail(checker_s* c, window_s* w, const check_entry_s& e, int W, int H) {
    char text[400];
    switch (check_entry_outcome(e)) {
    case CHECK_SKIPPED: snprintf(text, sizeof text, "Not checked: %s", check_skip_text(e.skip.load())); break;
    case CHECK_CORRECT: snprintf(text, sizeof text, "%d samples compared", c->sample_count); break;
    case CHECK_MISMATCH:
        snprintf(text, sizeof text, "All %d samples differ: the file %s", c->sample_count - e.unchecked.load(),
                 check_entry_verdict_text(e, c->sample_count).c_str());
        break;
    case CHECK_WRONG: snprintf(text, sizeof text, "%s", check_entry_verdict_text(e, c->sample_count).c_str()); break;
    case CHECK_INCOMPLETE:
        snprintf(text, sizeof text, "%d of %d samples could not be read", e.unchecked.load(), c->sample_count);
        break;
    default: return;
    }
    paint_detail_line(w, text, H - 34, W);
    paint_detail_line(w, check_entry_coverage_text(e, c->sample_count), H - 20, W);
}

// Under the verdict of a list: the samples compared over all files, and
// what that covers.
void paint_multi_detail(checker_s* c, window_s* w, int W, int H) {
    if (check_verdict(*c) == CHECK_PENDING || c->entries.empty()) return;
    long compared = 0;
    for (const check_entry_s& e : c->entries)
        if (e.skip.load() == CHECK_SKIP_NONE) compared += c->sample_count - e.unchecked.load();
    char text[120];
    snprintf(text, sizeof text, "%ld samples compared", compared);
    paint_detail_line(w, text, H - 34, W);
    paint_detail_line(w, check_coverage_text(*c), H - 20, W);
}

// "n of m files" done, right of the title.
void paint_file_count(checker_s* c, window_s* w, int W) {
    int done = 0;
    for (const check_entry_s& e : c->entries) done += e.finished.load() ? 1 : 0;
    char text[80];
    snprintf(text, sizeof text, "%d of %d files", done, (int)c->entries.size());
    draw_set_fill(w, GREY_TEXT);
    draw_set_font(w, FACE, 10);
    draw_text(w, text, (float)(W - 24) - draw_text_width(w, text), 32);
}

void paint_single(checker_s* c, window_s* w, int W, int H) {
    int cw = (W - 48) / 59, ch = (H - 180) / 30;
    const check_entry_s& e = c->entries[0];
    const bool skipped = check_entry_outcome(e) == CHECK_SKIPPED;
    auto cell_colour = [&](int i) {
        if (skipped) return PURPLE;
        // Fewer samples than cells only with a clamped sample count.
        return i < c->sample_count ? sample_colour(e.status[i]) : LIGHT_GREY;
    };
    draw_no_stroke(w);
    for (int i = 0; i < 30 * 59; i++) {
        draw_set_fill(w, cell_colour(i));
        draw_rect(w, (float)(24 + i % 59 * cw), (float)(74 + i / 59 * ch), (float)(cw - 1), (float)(ch - 1));
    }
    // A wrong or unread cell gets a black frame over its neighbours' edges,
    // so that a single one is seen at a glance.
    for (int i = 0; i < 30 * 59 && !skipped; i++) {
        uint32_t colour = cell_colour(i);
        if (!stands_out(colour)) continue;
        float x = (float)(24 + i % 59 * cw), y = (float)(74 + i / 59 * ch);
        draw_set_fill(w, BLACK);
        draw_rect(w, x - 2, y - 2, (float)(cw + 3), (float)(ch + 3));
        draw_set_fill(w, colour);
        draw_rect(w, x, y, (float)(cw - 1), (float)(ch - 1));
    }
    draw_clip_push(w, 24, 30 * ch + 76, 59 * cw, 16);
    draw_set_fill(w, GREY_TEXT);
    draw_set_font(w, FACE, 7);
    draw_text(w, e.path.c_str(), 24, (float)(30 * ch + 76));
    draw_clip_pop(w);
    paint_verdict(c, w, H);
    paint_single_detail(c, w, e, W, H);
    paint_back_button(w, H - 64, [] { ui_check_stop(); });
}

// Sample i covers [x_of(i), x_of(i + 1)): every sample owns at least one
// pixel while there are no more samples than pixels. Runs of one colour
// become one rectangle; wrong and unchecked samples are then drawn again
// at least MARK_WIDTH wide, so that none can vanish between its neighbours.
void paint_sample_bar(checker_s* c, window_s* w, const check_entry_s& e, int y, int bw) {
    const int n = c->sample_count;
    auto x_of = [&](int i) { return 24 + (int)((int64_t)i * bw / n); };
    int run_start = 0;
    uint32_t run_colour = sample_colour(e.status[0]);
    for (int i = 1; i <= n; i++) {
        uint32_t col = i < n ? sample_colour(e.status[i]) : 0;
        if (i < n && col == run_colour) continue;
        draw_set_fill(w, run_colour);
        draw_rect(w, (float)x_of(run_start), (float)y, (float)(x_of(i) - x_of(run_start)), 26);
        run_start = i;
        run_colour = col;
    }
    for (int i = 0; i < n; i++) {
        uint32_t col = sample_colour(e.status[i]);
        if (!stands_out(col)) continue;
        int x0 = x_of(i), x1 = x_of(i + 1);
        if (x1 - x0 < MARK_WIDTH) {
            x0 = std::min(std::max(24, (x0 + x1 - MARK_WIDTH) / 2), 24 + bw - MARK_WIDTH);
            x1 = x0 + MARK_WIDTH;
        }
        draw_set_fill(w, col);
        draw_rect(w, (float)x0, (float)y, (float)(x1 - x0), 26);
    }
}

// A skipped file's bar says why it was not checked.
void paint_skipped_bar(window_s* w, const check_entry_s& e, int y, int bw) {
    draw_set_fill(w, PURPLE);
    draw_rect(w, 24, (float)y, (float)bw, 26);
    char text[160];
    snprintf(text, sizeof text, "Not checked: %s", check_skip_text(e.skip.load()));
    draw_clip_push(w, 24, y, bw, 26);
    draw_set_fill(w, WHITE);
    draw_set_font(w, FACE, 10);
    draw_text(w, text, 32, (float)(y + 6));
    draw_clip_pop(w);
}

void paint_multi(checker_s* c, window_s* w, int W, int H) {
    int view = H - 138;
    c->view_height = view;
    int bw = W - 48;
    auto rows = [&](int, int y, std::function<bool(int, int, int, int, std::function<void()>)>) {
        int ry = y;
        for (const check_entry_s& e : c->entries) {
            check_outcome_e outcome = check_entry_outcome(e);
            // The verdict in words at the right end of the name line, so
            // that the bad file is found by reading its row.
            const std::string verdict = check_entry_verdict_text(e, c->sample_count);
            draw_set_font(w, FACE, 8);
            int vw = verdict.empty() ? 0 : (int)draw_text_width(w, verdict.c_str()) + 12;
            vw = std::min(vw, bw / 2);
            draw_clip_push(w, 24, ry, bw - vw, 16);
            draw_set_fill(w, GREY_TEXT);
            draw_text(w, e.path.c_str(), 24, (float)ry);
            draw_clip_pop(w);
            if (!verdict.empty()) {
                draw_clip_push(w, 24 + bw - vw, ry, vw, 16);
                draw_set_fill(w, outcome_colour(outcome));
                draw_text(w, verdict.c_str(), (float)(24 + bw) - draw_text_width(w, verdict.c_str()), (float)ry);
                draw_clip_pop(w);
            }
            draw_no_stroke(w);
            ry += 16;
            if (outcome == CHECK_SKIPPED) {
                paint_skipped_bar(w, e, ry, bw);
            } else if (outcome == CHECK_CORRECT) {
                draw_set_fill(w, GREEN);
                draw_rect(w, 24, (float)ry, (float)bw, 26);
            } else {
                paint_sample_bar(c, w, e, ry, bw);
            }
            ry += 38;
        }
        c->scroll.content = (float)(c->entries.size() * 54);
    };
    paint_scroll_vert(w, &c->scroll, 0, 74, W, view, rows);
    paint_verdict(c, w, H);
    paint_multi_detail(c, w, W, H);
    paint_back_button(w, H - 64, [] { ui_check_stop(); });
}

}  // namespace

void check_paint(void*) {
    checker_s* c = g_checker;
    if (!c) return;
    window_s* w = c->window;
    int W = window_width(w), H = window_height(w);
    ui_regions_clear(w);
    draw_clear(w, WHITE);
    draw_set_fill(w, BLACK);
    draw_set_font(w, FACE, 22);
    draw_text(w, "Check", 24, 24);
    if (!c->collected.load()) {
        // The dropped folders are still being listed (on a slow or dead
        // mount, for as long as it takes); Back works meanwhile.
        draw_set_fill(w, GREY_TEXT);
        draw_set_font(w, FACE, 10);
        draw_text(w, "Listing the dropped folders...", 24, 74);
        paint_back_button(w, H - 64, [] { ui_check_stop(); });
        return;
    }
    if (c->entries.size() != 1) paint_file_count(c, w, W);
    if (c->entries.size() == 1)
        paint_single(c, w, W, H);
    else
        paint_multi(c, w, W, H);
}

void check_key_cb(void*, int key) {
    checker_s* c = g_checker;
    if (!c || !c->collected.load()) return;
    int view = c->view_height;
    float content = c->scroll.content;
    float& off = c->scroll.scroll_offset;
    switch (key) {
    case 0: off -= (float)(view / 4); break;
    case 1: off = (float)view - content; break;
    case 2: off = 0; break;
    case 4: off -= (float)view; break;
    case 5: off += (float)view; break;
    case 9: off += (float)(view / 4); break;
    default: break;
    }
    float low = (float)view - content;
    if (low > 0) low = 0;
    if (off < low) off = low;
    if (off > 0) off = 0;
    window_redraw(c->window);
}
