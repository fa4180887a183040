/* The host function table: the C ABI between the Cinema 4D host and the plug-in.
 *
 * The host hands a pointer to one c4d_host_table to the plug-in with message 1 of
 * c4d_main, together with the plug-in's path. The plug-in reaches the host only through
 * this table (wrapped on the plug-in side by the C++ types of c4d_host.h).
 *
 * Handles are opaque. Every element that carries parameters (document, object, tag,
 * material, shader, layer, track) is a c4d_base; the C++ view gives each kind its own
 * type. Curves, polygon selections, element arrays, hair guides, strings, file names and
 * bitmaps have handle types of their own.
 *
 * Memory: texts and arrays the host allocates for the plug-in (marked "free with
 * free_mem") belong to the caller, who releases them with free_mem. Everything else
 * stays owned by the host and is valid until the document changes.
 *
 * Functions that can fail answer an int: non-zero for success. Functions that find
 * nothing answer a null handle. A null handle passed in is always answered with a
 * failure or null, never a crash.
 */
#ifndef C4D_HOST_ABI_H
#define C4D_HOST_ABI_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Interface version of this table; hosts below 16000 are refused by the plug-in. */
#define C4D_HOST_API_VERSION 21000

/* c4d_main messages */
#define C4DPL_INIT_SYS 1  /* p1: const c4d_host_table*, p2: const char* plug-in path */
#define C4DPL_START 2
#define C4DPL_END 3
#define C4DPL_MESSAGE_4 4
#define C4DPL_MESSAGE 6   /* p1: message id (intptr_t), p2: data */

/* Host string encodings */
#define C4D_STRINGENCODING_UTF8 4

typedef struct c4d_base c4d_base;
typedef struct c4d_curve c4d_curve;
typedef struct c4d_select c4d_select;
typedef struct c4d_array c4d_array;
typedef struct c4d_hair c4d_hair;
typedef struct c4d_string c4d_string;
typedef struct c4d_filename c4d_filename;
typedef struct c4d_bitmap c4d_bitmap;

typedef struct c4d_vec { double x, y, z; } c4d_vec;
typedef struct c4d_vec32 { float x, y, z; } c4d_vec32;
/* A host matrix: offset and three axis vectors. */
typedef struct c4d_matrix { c4d_vec off, v1, v2, v3; } c4d_matrix;
/* A host time: seconds = num / den (0 when den is 0). */
typedef struct c4d_time { double num, den; } c4d_time;
/* A polygon: four point indices; c == d makes it a triangle. */
typedef struct c4d_cpolygon { int32_t a, b, c, d; } c4d_cpolygon;
/* The UVW coordinates of one polygon's four corners. */
typedef struct c4d_uvw { c4d_vec a, b, c, d; } c4d_uvw;

/* A command registered by the plug-in. The host calls execute with the active document
 * when the user picks the command. */
typedef struct c4d_command {
    void* self;
    int (*execute)(void* self, c4d_base* document);
} c4d_command;

/* Which vector object_vector reads. */
enum c4d_object_vector {
    C4D_REL_POS = 0,
    C4D_REL_ROT = 1,
    C4D_REL_SCALE = 2,
    C4D_ABS_POS = 3,
    C4D_ABS_ROT = 4,
    C4D_ABS_SCALE = 5
};

/* Messages the host delivers to a registered message handler, on the main thread. */
#define C4D_MSG_DOCUMENT_CHANGED 1 /* doc: the active document, after any change of it */
#define C4D_MSG_TIMER 2            /* doc: the active document, at the interval the handler asked */
#define C4D_MSG_DOCUMENT_CLOSING 3 /* doc: a document about to close; its handle dies after this */

/* A message handler: the host calls message, then asks timer_interval for the milliseconds
 * until the next timer message (0: none). */
typedef struct c4d_message_handler {
    void* self;
    void (*message)(void* self, int32_t id, c4d_base* doc);
    int32_t (*timer_interval)(void* self);
} c4d_message_handler;

/* Dirty counter kinds of base_dirty; a mask sums the counters it names. */
#define C4D_DIRTY_MATRIX 1u   /* objects: position, rotation, scale */
#define C4D_DIRTY_DATA 2u     /* any element: its own data (points, parameters, keys, ...) */
#define C4D_DIRTY_CACHE 4u    /* objects: the generated or deformed cache */
#define C4D_DIRTY_CHILDREN 8u /* documents: objects added, removed or moved in the tree */

/* What a command's state callback answers: a mask of these. */
#define C4D_CMD_ENABLED 1
#define C4D_CMD_CHECKED 2

typedef struct c4d_host_table {
    int32_t version;   /* C4D_HOST_API_VERSION of the host */
    uint32_t size;     /* sizeof(c4d_host_table) as the host was built */

    /* ---- memory ---- */
    void (*free_mem)(void* p);

    /* ---- registration and user interface ---- */
    /* Loads an image of the plug-in's resource folder ("res" beside the plug-in) at the
     * given pixel ratio; null when it cannot be loaded. The host owns the bitmap. */
    c4d_bitmap* (*load_icon)(const char* file, double pixel_ratio);
    /* Registers a command; the host keeps the command for the life of the process. */
    int (*register_command)(int32_t id, const char* name, int32_t info, c4d_bitmap* icon,
                            const char* help, c4d_command command);
    /* Shows a message to the user (the simulated host prints it on standard error). */
    void (*message_dialog)(const char* utf8);

    /* ---- strings and file names ---- */
    c4d_string* (*string_new)(const char* utf8);
    void (*string_free)(c4d_string* s);
    /* A new NUL-terminated copy in the given encoding, null for an empty string; free with
     * free_mem. */
    char* (*string_copy_cstring)(const c4d_string* s, int32_t encoding);

    c4d_filename* (*filename_new)(void);
    void (*filename_free)(c4d_filename* f);
    void (*filename_set_directory)(c4d_filename* f, const char* utf8);
    void (*filename_set_file)(c4d_filename* f, const char* utf8);
    void (*filename_set_suffix)(c4d_filename* f, const char* utf8);
    int (*filename_content)(const c4d_filename* f);
    /* The whole name as a new host string (free with string_free). */
    c4d_string* (*filename_get_string)(const c4d_filename* f);
    /* The file selection dialog; answers 0 when cancelled, else stores the chosen name in
     * f. A forced suffix is appended when the chosen name has none. */
    int (*filename_select)(c4d_filename* f, int32_t type, int32_t flags, const char* title,
                           const char* force_suffix);

    /* ---- elements (any c4d_base) ---- */
    int32_t (*base_type)(const c4d_base* e);
    /* The element's name as UTF-8, null when it has none or an empty one; free with free_mem. */
    char* (*base_name)(const c4d_base* e);
    /* A key that is the same for the same element in the selection and in the walk. */
    uint64_t (*base_key)(const c4d_base* e);

    /* Parameters by numeric ID. Each answers non-zero when the parameter exists and can be
     * read as the requested kind. Numeric kinds convert into each other. */
    int (*get_int)(const c4d_base* e, int32_t id, int32_t* out);
    int (*get_float)(const c4d_base* e, int32_t id, double* out);
    int (*get_vector)(const c4d_base* e, int32_t id, c4d_vec* out);
    int (*get_time)(const c4d_base* e, int32_t id, c4d_time* out);
    int (*set_time)(c4d_base* e, int32_t id, c4d_time value);
    /* Text parameters (and file name parameters, as their full path); *out is UTF-8, free
     * with free_mem (null for an empty text). */
    int (*get_string)(const c4d_base* e, int32_t id, char** out);
    /* A link parameter's target in the document; succeeds with *out null when the link is
     * empty or dangling. */
    int (*get_link)(const c4d_base* e, int32_t id, const c4d_base* document, c4d_base** out);
    /* A file name parameter: complete path and file part, UTF-8, free with free_mem (null
     * when empty). */
    int (*get_filename)(const c4d_base* e, int32_t id, char** full, char** leaf);
    /* A gradient parameter (custom data type 1000481): the colour of knot 0. Fails when the
     * parameter is absent or the gradient has no knot. */
    int (*get_gradient_knot0)(const c4d_base* e, int32_t id, c4d_vec* colour);

    /* ---- documents ---- */
    c4d_base* (*doc_first_object)(const c4d_base* doc);
    /* Evaluates the document at its current time (animation, expressions, caches). */
    int (*doc_execute_passes)(c4d_base* doc, void* thread, int animation, int expressions,
                              int caches, uint32_t flags);
    /* The current selection; null when the host gives none. Free with array_free. */
    c4d_array* (*doc_selection)(const c4d_base* doc);
    int32_t (*array_count)(const c4d_array* a);
    c4d_base* (*array_get)(const c4d_array* a, int32_t index);
    void (*array_free)(c4d_array* a);

    /* ---- objects ---- */
    c4d_base* (*object_next)(const c4d_base* o);
    c4d_base* (*object_down)(const c4d_base* o);
    c4d_base* (*object_first_tag)(const c4d_base* o);
    c4d_base* (*tag_next)(const c4d_base* t);
    int (*object_ml)(const c4d_base* o, c4d_matrix* out);
    int (*object_mg)(const c4d_base* o, c4d_matrix* out);
    int (*object_vector)(const c4d_base* o, int32_t which, c4d_vec* out);
    int32_t (*object_rotation_order)(const c4d_base* o);
    uint32_t (*object_bits)(const c4d_base* o);
    c4d_base* (*object_deform_cache)(const c4d_base* o);
    c4d_base* (*object_cache)(const c4d_base* o);
    /* The object's layer in the document, or null. */
    c4d_base* (*object_layer)(const c4d_base* o, const c4d_base* doc);

    /* ---- geometry ---- */
    /* Point and polygon arrays of a polygon object (its point and polygon tags); null with
     * *count 0 when absent. Owned by the host. */
    const c4d_vec* (*object_points)(const c4d_base* o, int32_t* count);
    const c4d_cpolygon* (*object_polygons)(const c4d_base* o, int32_t* count);
    /* Per-corner phong normals, four per polygon; null when the host gives none. *count
     * is the number of entries. Free with free_mem. */
    c4d_vec32* (*object_phong_normals)(const c4d_base* o, int32_t* count);
    /* UVW lookup of a UVW tag: fails for a polygon index outside the tag's data. */
    int32_t (*uvw_count)(const c4d_base* uvw_tag);
    int (*uvw_get)(const c4d_base* uvw_tag, int32_t polygon, c4d_uvw* out);
    /* The polygon selection of a polygon selection tag. */
    c4d_select* (*selection_tag_select)(const c4d_base* tag);
    int32_t (*select_segments)(const c4d_select* s);
    int (*select_range)(const c4d_select* s, int32_t segment, int32_t max_elements,
                        int32_t* first, int32_t* last);

    /* ---- texture tags, materials, shaders ---- */
    c4d_base* (*texture_tag_material)(const c4d_base* tag);
    int (*texture_tag_matrix)(const c4d_base* tag, c4d_matrix* out);
    int (*material_channel_enabled)(const c4d_base* mat, int32_t channel);
    /* An entry of the material's data container read as a vector; fails when absent. */
    int (*material_data_vector)(const c4d_base* mat, int32_t id, c4d_vec* out);
    c4d_base* (*material_first_shader)(const c4d_base* mat);
    c4d_base* (*shader_next)(const c4d_base* sh);

    /* ---- animation ---- */
    c4d_base* (*object_first_track)(const c4d_base* o);
    c4d_base* (*track_next)(const c4d_base* t);
    /* Description ID of the track: number of levels and the ID at a level (0 when absent). */
    int32_t (*track_desc_depth)(const c4d_base* t);
    int32_t (*track_desc_id)(const c4d_base* t, int32_t level);
    c4d_curve* (*track_curve)(c4d_base* t, int32_t type, int create);
    int32_t (*curve_key_count)(const c4d_curve* c);
    int (*curve_key_time)(const c4d_curve* c, int32_t index, c4d_time* out);
    /* The track's value at a document time for a frame rate. */
    double (*track_value)(c4d_base* t, const c4d_base* doc, c4d_time time, int32_t fps);

    /* ---- hair ---- */
    int (*hair_lock)(c4d_base* hair_object, const c4d_base* doc);
    void (*hair_unlock)(c4d_base* hair_object);
    /* Generates strands; -1 asks for the default counts. Null when none result. The guides
     * stay owned by the hair object until it is unlocked. */
    c4d_hair* (*hair_generate)(c4d_base* hair_object, const c4d_base* doc, int32_t strands,
                               int32_t segments, uint32_t flags);
    int32_t (*hair_strand_count)(const c4d_hair* h);
    int32_t (*hair_segment_count)(const c4d_hair* h);
    /* All guide points; *count is the number of points in the array. */
    const c4d_vec* (*hair_points)(const c4d_hair* h, int32_t* count);
    int (*hair_root_uv)(const c4d_hair* h, int32_t strand, c4d_vec* out);

    /* ---- console, status bar and command reports ----
     * Added after the entries above; a host built before them hands over a smaller table
     * (see size), and the plug-in then does without them. */
    /* Writes one line to the host's console (no line break in utf8). */
    void (*console_line)(const char* utf8);
    /* Shows long work in the status bar: a fraction from 0 to 1 and a short text. */
    void (*status_bar)(double fraction, const char* utf8);
    /* Empties the status bar. */
    void (*status_clear)(void);
    /* Hands over the report of the command that just ran, as a JSON text (keys in
     * docs/report.md). The host copies what it keeps. */
    void (*command_report)(const char* json_utf8);

    /* ---- bulk access (later additions, also optional: see size) ---- */
    /* All entries of a UVW tag, one per polygon; *count is their number. Null when the tag
     * holds none. The array stays owned by the tag. */
    const c4d_uvw* (*uvw_data)(const c4d_base* uvw_tag, int32_t* count);

    /* ---- change messages, timer, dirty counters, command state (later additions, also
     * optional: see size; the plug-in does without its Live command on a host without them) ---- */
    /* Registers a message handler under a plug-in ID; the host keeps it for the life of the
     * process. */
    int (*register_message_handler)(int32_t id, c4d_message_handler handler);
    /* The sum of the element's dirty counters that the mask names (C4D_DIRTY_*). A counter
     * only ever grows while the element lives. */
    uint32_t (*base_dirty)(const c4d_base* e, uint32_t mask);
    /* The document the user works on now; null when none is open. */
    c4d_base* (*active_document)(void);
    /* Lets the host ask a registered command for its menu state (C4D_CMD_* mask). */
    int (*register_command_state)(int32_t id, void* self, int32_t (*state)(void* self, c4d_base* doc));

    /* ---- bulk access to kept normals (a later addition, also optional: see size) ---- */
    /* The object's phong normals as the host keeps them, four per polygon; *count is the
     * number of entries. Owned by the host, like the points. Null when the host keeps none
     * at hand (object_phong_normals then makes a copy for the caller). */
    const c4d_vec32* (*object_phong_normals_data)(const c4d_base* o, int32_t* count);
} c4d_host_table;

/* Size of a table that ends before the console entries: the smallest the plug-in takes. */
#define C4D_HOST_TABLE_BASE_SIZE ((uint32_t)offsetof(c4d_host_table, console_line))

#ifdef __cplusplus
}
#endif

#endif
