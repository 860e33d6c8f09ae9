#include "TuneBook.h"

namespace station
{
namespace
{
std::vector<Tune> WriteTunes()
{
    std::vector<Tune> tunes;

    // Beethoven, Symphony No. 9: the theme of the last movement, in D major.
    tunes.push_back(
        {.trackid = 401,
         .title = "Ode to Joy",
         .artist = "Ludwig and the Oscillators",
         .album = "Symphonies in Sine",
         .beatsPerMinute = 132,
         .voices = {{.timbre = Timbre::eFlute,
                     .notes =
                         "F#4 F#4 G4 A4 A4 G4 F#4 E4 D4 D4 E4 F#4 F#4:1.5 E4:0.5 E4:2 "
                         "F#4:1 F#4 G4 A4 A4 G4 F#4 E4 D4 D4 E4 F#4 E4:1.5 D4:0.5 D4:2 "
                         "E4:1 E4 F#4 D4 E4 F#4:0.5 G4 F#4:1 D4 E4 F#4:0.5 G4 F#4:1 E4 D4 E4 A3:2 "
                         "F#4:1 F#4 G4 A4 A4 G4 F#4 E4 D4 D4 E4 F#4 E4:1.5 D4:0.5 D4:2",
                     .transpose = 12,
                     .gain = 0.55,
                     .pan = -0.2},
                    {.timbre = Timbre::eBass,
                     .notes = "D3:2 A2 A2 E3 D3 A2 A2 E3 D3 A2 A2 E3 D3 A2 A2 D3 "
                              "A2 E3 A2 D3 A2 E3 D3 A2 D3 A2 A2 E3 D3 A2 A2 D3",
                     .gain = 0.45,
                     .pan = 0.2}}});

    tunes.push_back({.trackid = 402,
                     .title = "Twinkle, Twinkle, Little Star",
                     .artist = "The Loopback Choir",
                     .album = "Lullabies at 44.1 kHz",
                     .beatsPerMinute = 100,
                     .voices = {{.timbre = Timbre::eMusicBox,
                                 .notes = "C4:1 C4 G4 G4 A4 A4 G4:2 F4:1 F4 E4 E4 D4 D4 C4:2 "
                                          "G4:1 G4 F4 F4 E4 E4 D4:2 G4:1 G4 F4 F4 E4 E4 D4:2 "
                                          "C4:1 C4 G4 G4 A4 A4 G4:2 F4:1 F4 E4 E4 D4 D4 C4:2",
                                 .transpose = 12,
                                 .gain = 0.6,
                                 .pan = -0.15},
                                {.timbre = Timbre::eBass,
                                 .notes = "C3:4 F2:2 C3 F2 C3 G2 C3 C3 G2 C3 G2 C3 G2 C3 G2 "
                                          "C3:4 F2:2 C3 F2 C3 G2 C3",
                                 .gain = 0.35,
                                 .pan = 0.15}}});

    // A round: each voice starts the same song two bars after the one before.
    const std::string jacques = "C4:1 D4 E4 C4 C4 D4 E4 C4 E4 F4 G4:2 E4:1 F4 G4:2 "
                                "G4:0.5 A4 G4 F4 E4:1 C4 G4:0.5 A4 G4 F4 E4:1 C4 "
                                "C4 G3 C4:2 C4:1 G3 C4:2";
    tunes.push_back({.trackid = 403,
                     .title = "Fr\xC3\xA8re Jacques",
                     .artist = "Three Rounds Deep",
                     .album = "Rounds & Canons",
                     .beatsPerMinute = 120,
                     .voices = {{.timbre = Timbre::eFlute,
                                 .notes = jacques,
                                 .transpose = 12,
                                 .repeats = 2,
                                 .gain = 0.45,
                                 .pan = -0.5},
                                {.timbre = Timbre::eClarinet,
                                 .notes = jacques,
                                 .startBeat = 8,
                                 .repeats = 2,
                                 .gain = 0.4,
                                 .pan = 0.5},
                                {.timbre = Timbre::eBass,
                                 .notes = jacques,
                                 .transpose = -12,
                                 .startBeat = 16,
                                 .repeats = 2,
                                 .gain = 0.45}}});

    // The Elizabethan air in A minor, with a lute's bass.
    tunes.push_back(
        {.trackid = 404,
         .title = "Greensleeves",
         .artist = "Harbor Lute Consort",
         .album = "Old Airs, New Waves",
         .beatsPerMinute = 100,
         .voices = {
             {.timbre = Timbre::eClarinet,
              .notes =
                  "A4:0.5 C5:1 D5:0.5 E5:0.75 F5:0.25 E5:0.5 D5:1 B4:0.5 G4:0.75 A4:0.25 B4:0.5 "
                  "C5:1 A4:0.5 A4:0.75 G#4:0.25 A4:0.5 B4:1 G#4:0.5 E4:1 A4:0.5 "
                  "C5:1 D5:0.5 E5:0.75 F5:0.25 E5:0.5 D5:1 B4:0.5 G4:0.75 A4:0.25 B4:0.5 "
                  "C5:0.75 B4:0.25 A4:0.5 G#4:0.75 F#4:0.25 G#4:0.5 A4:1.5 A4:1 "
                  "r:0.5 G5:1.5 G5:0.75 F#5:0.25 E5:0.5 D5:1 B4:0.5 G4:0.75 A4:0.25 B4:0.5 "
                  "C5:1 A4:0.5 A4:0.75 G#4:0.25 A4:0.5 B4:1 G#4:0.5 E4:1.5 "
                  "G5:1.5 G5:0.75 F#5:0.25 E5:0.5 D5:1 B4:0.5 G4:0.75 A4:0.25 B4:0.5 "
                  "C5:0.75 B4:0.25 A4:0.5 G#4:0.75 F#4:0.25 G#4:0.5 A4:1.5 A4:1",
              .gain = 0.5,
              .pan = -0.15},
             {.timbre = Timbre::ePluck,
              .notes = "r:0.5 A2:3 G2 A2 E2 A2 G2 A2:1.5 E2 A2:2.5 "
                       "r:0.5 C3:3 G2 A2 E2 C3 G2 A2:1.5 E2 A2:2.5",
              .transpose = 12,
              .gain = 0.45,
              .pan = 0.25}}});

    // The hymn tune "New Britain", in three-four.
    tunes.push_back({.trackid = 405,
                     .title = "Amazing Grace",
                     .artist = "Meadow Chapel Organ",
                     .album = "Old Airs, New Waves",
                     .beatsPerMinute = 84,
                     .voices = {{.timbre = Timbre::eOrgan,
                                 .notes = "D4:1 G4:2 B4:0.5 G4:0.5 B4:2 A4:1 G4:2 E4:1 D4:2 D4:1 "
                                          "G4:2 B4:0.5 G4:0.5 B4:2 A4:0.5 B4:0.5 D5:3 D5:2 B4:1 "
                                          "D5:2 B4:0.5 G4:0.5 B4:2 A4:1 G4:2 E4:1 D4:2 D4:1 "
                                          "G4:2 B4:0.5 G4:0.5 B4:2 A4:1 G4:3 G4:2",
                                 .gain = 0.5,
                                 .pan = -0.1},
                                {.timbre = Timbre::eOrgan,
                                 .notes = "r:1 G2:3 G2 C3 G2 G2 G2 D3 G2 G2 G2 C3 G2 G2 D3 G2 G2:2",
                                 .gain = 0.4,
                                 .pan = 0.1}}});

    tunes.push_back(
        {.trackid = 406,
         .title = "When the Saints Go Marching In",
         .artist = "Signal Street Stompers",
         .album = "Marching Tones",
         .beatsPerMinute = 144,
         .voices = {{.timbre = Timbre::eClarinet,
                     .notes =
                         "r:1 C4 E4 F4 G4:4 r:1 C4 E4 F4 G4:4 r:1 C4 E4 F4 G4:2 E4 C4 E4 D4:4 "
                         "r:1 E4 E4 D4 C4:3 C4:1 E4:2 G4 G4:1 F4:3 r:1 C4 E4 F4 G4:2 E4 C4 D4 C4:4",
                     .transpose = 12,
                     .gain = 0.5,
                     .pan = -0.2},
                    {.timbre = Timbre::eBass,
                     .notes = "C3:2 G2 C3 G2 C3 G2 C3 G2 C3 G2 C3 G2 C3 G2 G2 D3 "
                              "C3 G2 C3 G2 C3 G2 F2 C3 C3 G2 C3 G2 G2 D3 C3:4",
                     .gain = 0.5,
                     .pan = 0.2}}});

    // Brahms, "Wiegenlied", Op. 49 No. 4.
    tunes.push_back(
        {.trackid = 407,
         .title = "Brahms' Lullaby",
         .artist = "The Loopback Choir",
         .album = "Lullabies at 44.1 kHz",
         .beatsPerMinute = 76,
         .voices = {{.timbre = Timbre::eMusicBox,
                     .notes =
                         "E4:0.5 E4 G4:2 E4:0.5 E4 G4:2 E4:0.5 G4 C5:1 B4:1.5 A4:0.5 "
                         "A4:1 G4 D4:0.5 E4 F4:1 D4 D4:0.5 E4 F4:2 D4:0.5 F4 B4 A4 G4:1 B4 "
                         "C5:2 C4:0.5 C4 C5:2 A4:0.5 F4 G4:2 E4:0.5 C4 F4:1 G4 A4 G4:2 C4:0.5 C4 "
                         "C5:2 A4:0.5 F4 G4:2 E4:0.5 C4 F4:1 E4 D4 C4:2",
                     .transpose = 12,
                     .gain = 0.6,
                     .pan = -0.1},
                    {.timbre = Timbre::eBass,
                     .notes = "r:1 C3:3 C3 F2 G2 G2 G2 G2 C3 F2 C3 F2 C3 F2 C3 G2 C3:2",
                     .gain = 0.3,
                     .pan = 0.1}}});

    // Pachelbel: the ground bass, broken chords over it, and the melody in canon.
    const std::string melody = "F#5:1 E5 D5 C#5 B4 A4 B4 C#5 D5 C#5 B4 A4 G4 F#4 G4 E4";
    tunes.push_back(
        {.trackid = 408,
         .title = "Canon in D",
         .artist = "The Ground Bass Ensemble",
         .album = "Rounds & Canons",
         .beatsPerMinute = 66,
         .voices = {{.timbre = Timbre::eBass,
                     .notes = "D3:1 A2 B2 F#2 G2 D2 G2 A2",
                     .repeats = 7,
                     .gain = 0.45},
                    {.timbre = Timbre::ePluck,
                     .notes = "D4:0.25 F#4 A4 F#4 C#4 E4 A4 E4 D4 F#4 B4 F#4 C#4 F#4 A4 F#4 "
                              "D4 G4 B4 G4 D4 F#4 A4 F#4 D4 G4 B4 G4 C#4 E4 A4 E4",
                     .startBeat = 8,
                     .repeats = 6,
                     .gain = 0.3,
                     .pan = 0.3},
                    {.timbre = Timbre::eStrings,
                     .notes = melody,
                     .startBeat = 16,
                     .repeats = 2,
                     .gain = 0.4,
                     .pan = -0.35},
                    {.timbre = Timbre::eFlute,
                     .notes = melody,
                     .startBeat = 24,
                     .repeats = 2,
                     .gain = 0.35,
                     .pan = 0.35},
                    {.timbre = Timbre::eBass, .notes = "D2:4", .startBeat = 56, .gain = 0.45},
                    {.timbre = Timbre::eStrings, .notes = "D5:4", .startBeat = 56, .gain = 0.4}}});
    return tunes;
}
} // namespace

const std::vector<Tune>& Tunes()
{
    static const std::vector<Tune> tunes = WriteTunes();
    return tunes;
}
} // namespace station
