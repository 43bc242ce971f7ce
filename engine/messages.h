// SPDX-License-Identifier: GPL-3.0-or-later
// Every fixed message the player shows, named by what went wrong: the one place each text is
// written. The texts are UTF-8; they go to the front end through ShowError.
#pragma once

// The file and its RIFF structure.
inline constexpr const char* kCannotOpenFileText = "Невозможно открыть файл";
inline constexpr const char* kNotRiffWaveText = "Файл не имеет структуры RIFF/WAVE";
inline constexpr const char* kNoFormatChunkText = "В файле не найден описатель формата";
inline constexpr const char* kFormatChunkTooLargeText = "Слишком большой размер описателя формата";
inline constexpr const char* kFormatChunkReadErrorText = "Ошибка чтения описателя формата";
inline constexpr const char* kNoDataChunkText = "В файле не найден раздел данных";
inline constexpr const char* kCannotSetFileBufferText = "Невозможно установить буфер для файла";
// "структру" is the original's own spelling.
inline constexpr const char* kCannotGetFileInfoText =
    "Невозможно получить информационную структру файла";
inline constexpr const char* kFileReadErrorText = "Ошибка чтения из файла";

// The conversion to PCM.
inline constexpr const char* kNoOutputFormatText = "Невозможно получить результирующий формат";
inline constexpr const char* kCannotOpenStreamText = "Невозможно открыть поток преобразования";
inline constexpr const char* kNoSourceMemoryText = "Недостаточно памяти для исходного буфера";
inline constexpr const char* kNoResultSizeText = "Невозможно получить размер буфера результата";
inline constexpr const char* kSourceBufferTooSmallText =
    "Исходный буфер слишком мал для преобразования";
inline constexpr const char* kNoResultMemoryText = "Недостаточно памяти для буфера результата";
inline constexpr const char* kCannotPrepareStreamHeaderText =
    "Невозможно подготовить заголовок потока";
inline constexpr const char* kCannotConvertText = "Невозможно преобразовать порцию данных";
inline constexpr const char* kSourcePortionTooShortText = "Недостаточный размер исходного буфера";

// The output device and the playback thread.
inline constexpr const char* kCannotOpenDeviceText =
    "Невозможно открыть устройство воспроизведения";
inline constexpr const char* kNoDeviceBufferMemoryText =
    "Недостаточно памяти для буферов устройства";
inline constexpr const char* kCannotQueueBufferText =
    "Невозможно передать буфер звуковому устройству";
inline constexpr const char* kCannotCloseDeviceText =
    "Невозможно закрыть устройство воспроизведения";
inline constexpr const char* kCannotCreateThreadText = "Невозможно создать поток воспроизведения";
