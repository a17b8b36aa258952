// Volumetric light, half resolution: marches from the eye to the surface,
// adding Henyey-Greenstein in-scattering wherever the light's shadow map
// sees the sample point (inside the cone of a spot light). A 4 x 4 ordered
// dither offsets the first step.
@include kx_global;
@include kx_material;
@include kx_light;

uniform float generic1; // projection [2][2]
uniform float generic2; // projection [3][2]
uniform float nearPlane;
uniform float farPlane;
uniform float scattering;
uniform uint nrOfSteps;
KX_SAMPLER_LAYOUT uniform sampler2D textureSampler0; // half-resolution depth

in vec3 texCoord0;
flat in vec3 cameraPosition;
in vec3 viewRay;

out float outputColor;

const float DITHER[16] = float[](0.0, 0.5, 0.125, 0.625, 0.75, 0.25, 0.875, 0.375,
                                 0.1875, 0.6875, 0.0625, 0.5625, 0.9375, 0.4375, 0.8125, 0.3125);

float zView(float d)
{
    return -(generic2 / ((2.0 * d - 1.0) + generic1));
}

float henyeyGreenstein(float mu)
{
    const float PI = 3.141592653589;
    float g = scattering;
    return (1.0 - g * g) / (4.0 * PI * pow(1.0 + g * g - 2.0 * g * mu, 1.5));
}

void main()
{
    vec3 end = cameraPosition + zView(texture(textureSampler0, texCoord0.xy).r) * viewRay;
    ivec2 pixel = ivec2(gl_FragCoord.xy);
    float dither = DITHER[(pixel.x % 4) * 4 + pixel.y % 4];
    vec3 ray = end - cameraPosition;
    float L = length(ray);
    uint steps = max(nrOfSteps, 1u);
    if (L <= 0.0)
    {
        outputColor = 0.0;
        return;
    }
    vec3 r = ray / L;
    vec3 stepVector = r * (L / float(steps));
    vec3 point = cameraPosition + stepVector * dither;
    LightStruct lightData = light[min(lightId, uint(light.length()) - 1u)];
    float sum = 0.0;
    for (uint i = 0u; i < steps; ++i)
    {
        float lit = doFastShadowMapping(point, global.shadowMap, lightData, 0.0, nearPlane, farPlane, 0.0);
        if (lightData.spotExponent > 0.0)
        {
            // A spot light lights its cone only: the shafts stay in the beam.
            float spotEffect = dot(lightData.direction, normalize(point - lightData.position.xyz));
            lit *= spotEffect < lightData.cutoff ? 0.0 : pow(max(spotEffect, 0.0), lightData.spotExponent);
        }
        if (lit > 0.0)
            sum += lit * henyeyGreenstein(dot(r, normalize(lightData.position.xyz - point)));
        point += stepVector;
    }
    outputColor = sum / float(steps);
}
