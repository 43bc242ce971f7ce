// SPDX-License-Identifier: GPL-3.0-or-later
// The fixed messages as the tests expect them, written here once and independently of the
// product's own table, so a typo in either shows as a failure.
#pragma once

namespace expected {

inline constexpr const char* kCannotOpenFile = "Невозможно открыть файл";
inline constexpr const char* kNotRiffWave = "Файл не имеет структуры RIFF/WAVE";
inline constexpr const char* kNoFormatChunk = "В файле не найден описатель формата";
inline constexpr const char* kFormatChunkTooLarge = "Слишком большой размер описателя формата";
inline constexpr const char* kFormatChunkReadError = "Ошибка чтения описателя формата";
inline constexpr const char* kNoDataChunk = "В файле не найден раздел данных";
inline constexpr const char* kCannotSetFileBuffer = "Невозможно установить буфер для файла";
inline constexpr const char* kCannotGetFileInfo =
    "Невозможно получить информационную структру файла";
inline constexpr const char* kFileReadError = "Ошибка чтения из файла";
inline constexpr const char* kNoOutputFormat = "Невозможно получить результирующий формат";
inline constexpr const char* kCannotOpenStream = "Невозможно открыть поток преобразования";
inline constexpr const char* kNoSourceMemory = "Недостаточно памяти для исходного буфера";
inline constexpr const char* kNoResultSize = "Невозможно получить размер буфера результата";
inline constexpr const char* kSourceBufferTooSmall =
    "Исходный буфер слишком мал для преобразования";
inline constexpr const char* kNoResultMemory = "Недостаточно памяти для буфера результата";
inline constexpr const char* kCannotPrepareStreamHeader = "Невозможно подготовить заголовок потока";
inline constexpr const char* kCannotConvert = "Невозможно преобразовать порцию данных";
inline constexpr const char* kSourcePortionTooShort = "Недостаточный размер исходного буфера";
inline constexpr const char* kCannotOpenDevice = "Невозможно открыть устройство воспроизведения";
inline constexpr const char* kNoDeviceBufferMemory = "Недостаточно памяти для буферов устройства";
inline constexpr const char* kCannotQueueBuffer = "Невозможно передать буфер звуковому устройству";
inline constexpr const char* kCannotCloseDevice = "Невозможно закрыть устройство воспроизведения";
inline constexpr const char* kCannotCreateThread = "Невозможно создать поток воспроизведения";

}  // namespace expected
