#pragma once
// User-interface languages; the values are stored in parameters and must not change.

enum ELanguage
{
	Current = -1,
	None = 0,
	Russian = 1,
	English = 11,
	Serbian = 13,
	Slovenian = 14,
	Italian = 15,
	Czech = 16,
	Hungarian = 17,
	French = 18,
	German = 19,
	Albanian = 20,
	Polish = 21,
	Romanian = 22,
	Spanish = 23,
	Chinese = 24,
	Slovak = 25,
	Croatian = 26,
	Portuguese = 27,
	Bolgarian = 28,
	Korean = 29,
	Thai = 30
};
