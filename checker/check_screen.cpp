// The checker screen: one file as a 30 x 59 grid of sample cells, several
// files as a scrolling list of sample bars with a verdict once every row is
// settled. Runs on the UI thread while the check thread writes the flags.
#include <cmath>
#include <functional>

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

uint32_t sample_colour(const check_sample_s& s) {
    if (s.compared.load(std::memory_order_relaxed))
        return s.equal.load(std::memory_order_relaxed) ? GREEN : RED;
    if (s.computing.load(std::memory_order_relaxed) || s.expected_ready.load(std::memory_order_relaxed))
        return YELLOW;
    if (s.read_done.load(std::memory_order_relaxed)) return BLUE;
    return LIGHT_GREY;
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

void paint_single(checker_s* c, window_s* w, int W, int H) {
    int cw = (W - 48) / 59, ch = (H - 180) / 30;
    const check_entry_s& e = c->entries[0];
    draw_no_stroke(w);
    for (int r = 0; r < 30; r++) {
        for (int col = 0; col < 59; col++) {
            int i = r * 59 + col;
            // Fewer samples than cells only with a clamped sample count.
            draw_set_fill(w, i < c->sample_count ? sample_colour(e.status[i]) : LIGHT_GREY);
            draw_rect(w, (float)(24 + col * cw), (float)(74 + r * ch), (float)(cw - 1), (float)(ch - 1));
        }
    }
    draw_clip_push(w, 24, 30 * ch + 76, 59 * cw, 16);
    draw_set_fill(w, GREY_TEXT);
    draw_set_font(w, FACE, 7);
    draw_text(w, e.path.c_str(), 24, (float)(30 * ch + 76));
    draw_clip_pop(w);
    paint_back_button(w, H - 64, [] { ui_check_stop(); });
}

// Runs of one colour become one rectangle; a red sample is an error.
void paint_sample_bar(checker_s* c, window_s* w, const check_entry_s& e, int y, int bw, bool* error) {
    int n = c->sample_count;
    auto x_of = [&](int i) { return n > 1 ? 24 + (int)roundf((float)i / (float)(n - 1) * (float)bw) : 24; };
    int run_start = 0;
    uint32_t run_colour = sample_colour(e.status[0]);
    for (int i = 1; i <= n; i++) {
        uint32_t col = i < n ? sample_colour(e.status[i]) : 0;
        if (i < n && col == run_colour) continue;
        if (run_colour == RED) *error = true;
        int x0 = x_of(run_start);
        int x1 = i < n ? x_of(i) : 24 + bw;
        if (x1 > x0) {
            draw_set_fill(w, run_colour);
            draw_rect(w, (float)x0, (float)y, (float)(x1 - x0), 26);
        }
        run_start = i;
        run_colour = col;
    }
}

void paint_multi(checker_s* c, window_s* w, int W, int H) {
    int view = H - 138;
    c->view_height = view;
    bool error = false, settled = true;
    int bw = W - 48;
    auto rows = [&](int, int y, std::function<bool(int, int, int, int, std::function<void()>)>) {
        int ry = y;
        for (const check_entry_s& e : c->entries) {
            draw_clip_push(w, 24, ry, bw, 16);
            draw_set_fill(w, GREY_TEXT);
            draw_set_font(w, FACE, 8);
            draw_text(w, e.path.c_str(), 24, (float)ry);
            draw_clip_pop(w);
            draw_no_stroke(w);
            ry += 16;
            if (e.skipped.load()) {
                draw_set_fill(w, RED);
                draw_rect(w, 24, (float)ry, (float)bw, 26);
                error = true;
            } else if (e.all_correct.load()) {
                draw_set_fill(w, GREEN);
                draw_rect(w, 24, (float)ry, (float)bw, 26);
            } else {
                // A file whose check has ended with unequal samples cannot
                // change any more: it counts as settled, with an error.
                if (!e.finished.load()) settled = false;
                paint_sample_bar(c, w, e, ry, bw, &error);
                if (e.finished.load()) error = true;
            }
            ry += 38;
        }
        c->scroll.content = (float)(c->entries.size() * 54);
    };
    paint_scroll_vert(w, &c->scroll, 0, 74, W, view, rows);
    if (settled) {
        draw_set_fill(w, error ? RED : GREEN);
        draw_set_font(w, FACE, 20);
        draw_text(w, error ? "Not all data is correct!" : "All data correct!", 178, (float)(H - 64));
    }
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
    if (c->entries.size() == 1)
        paint_single(c, w, W, H);
    else
        paint_multi(c, w, W, H);
}

void check_key_cb(void*, int key) {
    checker_s* c = g_checker;
    if (!c) return;
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
