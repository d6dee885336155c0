/* A GTK 3 application the end-to-end tests dictate into: a GtkTextView deep inside nested containers, each
 * level with a label beside it, so that finding the focused field through accessibility walks a tree as
 * deep as a real GTK application's. It speaks the line protocol of the Qt target (TargetApp.cpp) on
 * stdout and stdin, as far as the e2e tests use it:
 *   READY <X window id>      its text view has the keyboard focus
 *   TEXT <base64>            the text changed
 *   COPY <base64>            put that text on the clipboard (answers COPIED)
 *   COPYTEXT <bytes>         put a plain text of that many bytes (lines of ASCII) on the clipboard
 *   CLIPBOARDSIZE            answers "CLIPBOARDSIZE <bytes> <md5>" of the clipboard's text
 *   CLIPBOARD                answers "CLIPBOARD <text base64> other-image -"
 *   QUIT
 * Argument: the nesting depth (default kDefaultDepth). */
#include <gdk/gdkx.h>
#include <gtk/gtk.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum { kDefaultDepth = 40 };

static GtkWidget* s_window;
static GtkWidget* s_view;
static gboolean s_readyAnnounced;

static void say(const char* word, const char* argument)
{
    printf(argument ? "%s %s\n" : "%s\n", word, argument);
    fflush(stdout);
}

static void sayBase64(const char* word, const char* text)
{
    gchar* encoded = g_base64_encode((const guchar*)text, strlen(text));
    say(word, encoded);
    g_free(encoded);
}

static void announceWhenFocused(void)
{
    if (s_readyAnnounced || !gtk_window_is_active(GTK_WINDOW(s_window)) || !gtk_widget_has_focus(s_view))
        return;
    s_readyAnnounced = TRUE;
    char id[32];
    snprintf(id, sizeof id, "%lu", (unsigned long)GDK_WINDOW_XID(gtk_widget_get_window(s_window)));
    say("READY", id);
}

static void onFocusChanged(GObject* object, GParamSpec* property, gpointer data)
{
    (void)object, (void)property, (void)data;
    announceWhenFocused();
}

static void onTextChanged(GtkTextBuffer* buffer, gpointer data)
{
    (void)data;
    GtkTextIter start, end;
    gtk_text_buffer_get_bounds(buffer, &start, &end);
    gchar* text = gtk_text_buffer_get_text(buffer, &start, &end, FALSE);
    if (*text)
        sayBase64("TEXT", text);
    else
        say("TEXT", NULL);
    g_free(text);
}

/* Without a window manager nobody gives the window the focus: it takes it once it is mapped. */
static gboolean onMapped(GtkWidget* window, GdkEvent* event, gpointer data)
{
    (void)event, (void)data;
    gdk_window_focus(gtk_widget_get_window(window), GDK_CURRENT_TIME);
    return FALSE;
}

static void runCommand(gchar* line)
{
    gchar** words = g_strsplit(g_strchomp(line), " ", 3);
    GtkClipboard* clipboard = gtk_clipboard_get(GDK_SELECTION_CLIPBOARD);
    if (g_strcmp0(words[0], "QUIT") == 0) {
        gtk_main_quit();
    } else if (g_strcmp0(words[0], "COPY") == 0 && words[1]) {
        gsize length = 0;
        guchar* text = g_base64_decode(words[1], &length);
        gtk_clipboard_set_text(clipboard, (const gchar*)text, (gint)length);
        g_free(text);
        say("COPIED", NULL);
    } else if (g_strcmp0(words[0], "COPYTEXT") == 0 && words[1]) {
        static const char kLine[] = "a line of text on a large clipboard\n";
        const gsize size = (gsize)g_ascii_strtoull(words[1], NULL, 10);
        gchar* text = g_malloc(size + 1);
        for (gsize i = 0; i < size; ++i)
            text[i] = kLine[i % (sizeof kLine - 1)];
        text[size] = '\0';
        gtk_clipboard_set_text(clipboard, text, (gint)size);
        g_free(text);
        say("COPIED", NULL);
    } else if (g_strcmp0(words[0], "CLIPBOARDSIZE") == 0) {
        gchar* text = gtk_clipboard_wait_for_text(clipboard);
        const gsize size = text ? strlen(text) : 0;
        gchar* md5 = g_compute_checksum_for_data(G_CHECKSUM_MD5, (const guchar*)(text ? text : ""), size);
        printf("CLIPBOARDSIZE %zu %s\n", (size_t)size, md5);
        fflush(stdout);
        g_free(md5);
        g_free(text);
    } else if (g_strcmp0(words[0], "CLIPBOARD") == 0) {
        gchar* text = gtk_clipboard_wait_for_text(clipboard);
        gchar* encoded = text ? g_base64_encode((const guchar*)text, strlen(text)) : g_strdup("-");
        printf("CLIPBOARD %s other-image -\n", encoded);
        fflush(stdout);
        g_free(encoded);
        g_free(text);
    }
    g_strfreev(words);
}

/* One line per call: the watch fires again while the channel's buffer holds more. */
static gboolean onInput(GIOChannel* channel, GIOCondition condition, gpointer data)
{
    (void)condition, (void)data;
    gchar* line = NULL;
    const GIOStatus status = g_io_channel_read_line(channel, &line, NULL, NULL, NULL);
    if (status == G_IO_STATUS_NORMAL && line)
        runCommand(line);
    g_free(line);
    if (status == G_IO_STATUS_EOF || status == G_IO_STATUS_ERROR) {
        gtk_main_quit();
        return FALSE;
    }
    return TRUE;
}

/* One level of nesting: a container of a kind GTK applications use, holding a label and the next level. */
static GtkWidget* nestedLevel(int level, GtkWidget** inner)
{
    GtkWidget* box = gtk_box_new(level % 2 ? GTK_ORIENTATION_HORIZONTAL : GTK_ORIENTATION_VERTICAL, 2);
    char name[32];
    snprintf(name, sizeof name, "level %d", level);
    gtk_box_pack_start(GTK_BOX(box), gtk_label_new(name), FALSE, FALSE, 0);
    GtkWidget* outer = box;
    if (level % 3 == 1) {
        outer = gtk_frame_new(name);
        gtk_container_add(GTK_CONTAINER(outer), box);
    } else if (level % 3 == 2) {
        outer = gtk_event_box_new();
        gtk_container_add(GTK_CONTAINER(outer), box);
    }
    *inner = box;
    return outer;
}

int main(int argc, char** argv)
{
    gtk_init(&argc, &argv);
    const int depth = argc > 1 ? atoi(argv[1]) : kDefaultDepth;

    s_window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(s_window), "Quorbell GTK 测试目标");
    gtk_window_set_default_size(GTK_WINDOW(s_window), 420, 200);
    GtkWidget* parent = s_window;
    for (int level = 0; level < depth; ++level) {
        GtkWidget* inner = NULL;
        GtkWidget* outer = nestedLevel(level, &inner);
        if (GTK_IS_BOX(parent))
            gtk_box_pack_start(GTK_BOX(parent), outer, TRUE, TRUE, 0);
        else
            gtk_container_add(GTK_CONTAINER(parent), outer);
        parent = inner;
    }
    GtkWidget* scrolled = gtk_scrolled_window_new(NULL, NULL);
    s_view = gtk_text_view_new();
    gtk_container_add(GTK_CONTAINER(scrolled), s_view);
    if (GTK_IS_BOX(parent))
        gtk_box_pack_start(GTK_BOX(parent), scrolled, TRUE, TRUE, 0);
    else
        gtk_container_add(GTK_CONTAINER(parent), scrolled);

    g_signal_connect(gtk_text_view_get_buffer(GTK_TEXT_VIEW(s_view)), "changed", G_CALLBACK(onTextChanged),
                     NULL);
    g_signal_connect(s_window, "notify::is-active", G_CALLBACK(onFocusChanged), NULL);
    g_signal_connect(s_view, "notify::has-focus", G_CALLBACK(onFocusChanged), NULL);
    g_signal_connect(s_window, "map-event", G_CALLBACK(onMapped), NULL);
    g_signal_connect(s_window, "destroy", G_CALLBACK(gtk_main_quit), NULL);

    GIOChannel* input = g_io_channel_unix_new(0);
    g_io_add_watch(input, G_IO_IN | G_IO_HUP, onInput, NULL);

    gtk_widget_show_all(s_window);
    gtk_widget_grab_focus(s_view);
    gtk_main();
    g_io_channel_unref(input);
    return 0;
}
