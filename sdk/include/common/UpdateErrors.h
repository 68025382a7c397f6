// Error codes of the update run. Plug-ins receive them through the error
// notifications; the process exit status only tells success (0) or failure (255).
#pragma once

enum EUpdateErrors {
    ERR_GENERIC = -1,               // transport, sockets, child processes, interrupts
    ERR_NONE = 0,                   // also the code of the `version` option's exception
    ERR_SET_VARIABLE = 600,         // path variable with an empty name or value
    ERR_DECODE_PRODUCT_INFO = 601,  // product info file cannot be decoded
    ERR_VARIABLE_SYNTAX = 602,      // "%" without its closing "%"
    ERR_EMPTY_SERVER_URL = 603,
    ERR_VARIABLE_EMPTY_NAME = 604,
    ERR_VARIABLE_UNDEFINED = 605,
    ERR_SERVER_INDEX = 606,
    ERR_FILEPROCESSOR_DIRS = 607,  // one of the run's three directories is empty
    ERR_INSTALL_DIR = 608,
    ERR_TEMP_DIR = 609,
    ERR_BACKUP_DIR = 610,
    ERR_GUI_PLUGIN_INVALID_RESULT = 611,
    ERR_LIB_PLUGIN_INVALID_RESULT = 612,
    ERR_MODULE_COMMAND = 613,  // pre, post or unpost command failed
    ERR_URL_MALFORMED = 614,
    ERR_URL_SCHEME = 615,
    ERR_CONNECT = 616,
    ERR_CONFIG_FILE = 618,
    ERR_URL_FILE = 620,
    ERR_DOWNLOAD = 621,
    ERR_DOWNLOAD_SERVER = 625,
    ERR_DOWNLOAD_PRODUCT_INFO = 626,
    ERR_SERVER_LIST = 627,
    ERR_NO_MORE_SERVERS = 628,
    ERR_ACTION = 629,  // copyaction/execaction syntax; selfupdate with noselfupdate
    ERR_SELFUPDATE = 630,
    ERR_INVALID_PARAMETER = 631,
    ERR_COMMAND_LINE = 632,
    ERR_PLUGIN_LOAD = 634,
    ERR_XML = 635,
    ERR_FILE_READ = 636,
    ERR_ROLLBACK = 637,
    ERR_PLUGIN_INVALID_EXIT_CODE = 639,
    ERR_PLUGIN_REFUSED = 640,  // a plug-in refused its first callback
};
